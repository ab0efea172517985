// Text helpers every area may use: printf into a std::string, malloc'd
// copies for the C surface, ASCII lower-casing, file names built from parts
// and time texts.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kx_errno.h"

namespace kx_internal {

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

// Names of the configuration files are ASCII and case-insensitive; the
// locale never changes how they compare.
inline void to_lower_ascii(std::string& s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

inline std::string lower_ascii(std::string s) {
    to_lower_ascii(s);
    return s;
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

// Frees *p and stores a copy of S there; false when the copy failed.
inline bool replace_c(char** p, const std::string& s) {
    char* copy = dup_c(s);
    if (!copy) return false;
    std::free(*p);
    *p = copy;
    return true;
}

// "DIR/PREFIXID", malloc'd: null with NULL_ERROR when a part is missing,
// with TOO_LONG_ERROR when the parts together exceed MAX_LENGTH.
inline char* join_name(const char* dir, const char* prefix, const char* id, std::size_t max_length, int null_error,
                       int too_long_error) {
    if (!dir || !prefix || !id) {
        kx_errno = null_error;
        return nullptr;
    }
    if (std::strlen(dir) + std::strlen(prefix) + std::strlen(id) > max_length) {
        kx_errno = too_long_error;
        return nullptr;
    }
    return dup_c(strprintf("%s/%s%s", dir, prefix, id));
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

}  // namespace kx_internal
