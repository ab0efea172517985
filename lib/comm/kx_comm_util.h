// Small helpers shared by the event and communication sources: owned
// configuration handles, descriptors and streams, printf into std::string,
// malloc'd copies for the C surface, the time-stamp id and announcements.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "kx_errno.h"
#include "kx_guards.h"
#include "kx_qzt.h"
#include "kxcf.h"

namespace kxcomm {

// The program name under which the communication library announces problems.
inline constexpr const char* kAnnouncer = "kxcomm_send_event";
// The suite log's tag for what the communication library did.
inline constexpr const char* kLogTag = "COMM";

// Texts announced by the communication library.
namespace text {
inline constexpr const char* kMissingSection = "Missing Communication Configuration section '%s'";
inline constexpr const char* kMissingState = "Missing Communication Configuration state variable '%s'";
inline constexpr const char* kNullValue = "Null Comm Keyword Value - %s, '%s = %s'";
inline constexpr const char* kInvalidValue = "Invalid Comm Keyword Value - %s, '%s = %s'";
inline constexpr const char* kMissingKeyword = "Missing Comm Keyword - %s, '%s'";
inline constexpr const char* kMissingType = "Missing Comm Type '%s'";
}  // namespace text

using kx_internal::CfgHandle;
using kx_internal::Fd;
using kx_internal::FilePtr;

// The main configuration file, read without a lock; null with kx_errno set.
inline CfgHandle open_main_config() { return CfgHandle(kxcf_open(nullptr, 0)); }

// A value of the configuration file as a string; false when it is missing
// (kx_errno as the configuration library left it).
inline bool get_value(KXCF_FILE* f, const char* section, const char* subsection,
                      const char* keyword, int flags, std::string& out) {
    const char* v = kxcf_getvar(f, section, subsection, keyword, flags);
    if (v == KXCF_FAIL) return false;
    out = v;
    return true;
}

__attribute__((format(printf, 1, 2))) inline std::string strprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}

// A malloc'd copy for the C surface; null with kx_errno = errno on failure.
inline char* dup_c(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (!p) {
        kx_errno = errno ? errno : ENOMEM;
        return nullptr;
    }
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// "DIR/PREFIXID", malloc'd: null with NULL_ERROR when a part is missing,
// with TOO_LONG_ERROR when the parts together exceed a path's length.
inline char* join_name(const char* dir, const char* prefix, const char* id, int null_error,
                       int too_long_error) {
    if (!dir || !prefix || !id) {
        kx_errno = null_error;
        return nullptr;
    }
    if (std::strlen(dir) + std::strlen(prefix) + std::strlen(id) > KXCF_MAX_PATH) {
        kx_errno = too_long_error;
        return nullptr;
    }
    return dup_c(strprintf("%s/%s%s", dir, prefix, id));
}

// Frees *p and stores a copy of S there; false when the copy failed.
inline bool replace_c(char** p, const std::string& s) {
    char* copy = dup_c(s);
    if (!copy) return false;
    std::free(*p);
    *p = copy;
    return true;
}

// "%y%m%d_%H%M%S" in local time. A formatter that derives the year digits
// from the years since 1900 would give a first digit past '9' from 2000 on;
// that digit is brought back into range.
inline std::string time_id(time_t t) {
    struct tm tm_buf;
    char buf[64];
    if (!localtime_r(&t, &tm_buf) || std::strftime(buf, sizeof buf, "%y%m%d_%H%M%S", &tm_buf) == 0)
        return strprintf("%ld", static_cast<long>(t));
    if (buf[0] > '9') buf[0] = static_cast<char>(buf[0] - 10);
    return buf;
}

// The platform's ctime text without its trailing newline.
inline std::string ctime_text(time_t t) {
    char buf[64];
    if (!ctime_r(&t, buf)) return strprintf("%ld", static_cast<long>(t));
    std::string s = buf;
    if (!s.empty()) s.pop_back();
    return s;
}

// Announces a problem of the communication library in the suite log. The
// log writer may touch kx_errno; the caller's reason is kept.
inline void announce(int number, const std::string& text) {
    int saved = kx_errno;
    kx_error_notify(KX_NOTIFY_LOG, kAnnouncer, number, text.c_str(), nullptr);
    kx_errno = saved;
}

}  // namespace kxcomm
