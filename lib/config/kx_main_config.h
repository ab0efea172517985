// Owned configuration file handles, and the suite's main configuration
// file: its name and reading single values of it, for every area that
// reads it.
#pragma once

#include <memory>
#include <string>

#include "kx_files.h"
#include "kxcf.h"

namespace kx_internal {

// A configuration file handle, closed when the owner goes away.
struct CfgCloser {
    void operator()(KXCF_FILE* f) const { kxcf_close(f); }
};
using CfgHandle = std::unique_ptr<KXCF_FILE, CfgCloser>;

// The main configuration file's name in the configuration directory.
constexpr const char* kMainConfigName = KX_MAIN_CONFIG_NAME;

// The main configuration file, read without a lock; null with kx_errno set.
inline CfgHandle open_main_config() { return CfgHandle(kxcf_open(nullptr, 0)); }

// A value of the configuration file as a string; false when it is missing
// (kx_errno as the configuration library left it).
inline bool get_value(KXCF_FILE* f, const char* section, const char* subsection, const char* keyword, int flags,
                      std::string& out) {
    const char* v = kxcf_getvar(f, section, subsection, keyword, flags);
    if (v == KXCF_FAIL) return false;
    out = v;
    return true;
}

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
