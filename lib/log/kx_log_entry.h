// The text of one suite log entry, apart from the clock so that any date
// can be checked.
#pragma once

#include <ctime>
#include <string>

namespace kx_internal {

// "TAG YYMMDD.HHMM PROGRAM\nMESSAGE\n\n" where YY counts the years since
// 1900 (100 for 2000). Null strings are taken as empty ones.
std::string log_entry_text(const char* tag, const char* program, const char* message,
                           const std::tm& when);

}  // namespace kx_internal
