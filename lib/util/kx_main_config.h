// Reading single values of the suite's main configuration file, for the
// file utilities, the debug facility, the log writer and the notification
// service.
#pragma once

#include <string>

#include "kx_guards.h"
#include "kxcf.h"

namespace kx_internal {

// The main configuration file's name in the configuration directory.
constexpr const char* kMainConfigName = "qzt_config";

// The default main configuration file, opened for reading without a lock,
// and closed when the object goes away. If the open failed, ok() is false
// and kx_errno holds the reason.
class MainConfig {
public:
    MainConfig() : file_(kxcf_open(nullptr, 0)) {}

    bool ok() const { return file_ != nullptr; }

    // Copies the value of KEYWORD into OUT; an empty value counts as
    // missing. Subsection null means the section's own keywords.
    bool get(const char* section, const char* subsection, const char* keyword,
             std::string& out) const {
        if (file_ == nullptr) return false;
        const char* value = kxcf_getvar(file_.get(), section, subsection, keyword, KXCF_NOTNULL);
        if (value == KXCF_FAIL || value == nullptr) return false;
        out = value;
        return true;
    }

private:
    CfgHandle file_;
};

}  // namespace kx_internal
