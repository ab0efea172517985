// What the communication sources share: the announcer and its texts, and
// the ground helpers they use by their short names.
#pragma once

#include <string>

#include "kx_errno.h"
#include "kx_guards.h"
#include "kx_main_config.h"
#include "kx_text.h"
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
using kx_internal::ctime_text;
using kx_internal::dup_c;
using kx_internal::Fd;
using kx_internal::FilePtr;
using kx_internal::get_value;
using kx_internal::join_name;
using kx_internal::lower_ascii;
using kx_internal::open_main_config;
using kx_internal::replace_c;
using kx_internal::strprintf;
using kx_internal::time_id;

// Announces a problem of the communication library in the suite log. The
// log writer may touch kx_errno; the caller's reason is kept.
inline void announce(int number, const std::string& text) {
    int saved = kx_errno;
    kx_error_notify(KX_NOTIFY_LOG, kAnnouncer, number, text.c_str(), nullptr);
    kx_errno = saved;
}

}  // namespace kxcomm
