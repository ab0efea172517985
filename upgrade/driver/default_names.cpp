// The names of the run's files derived from the new configuration file's
// name: a function of its arguments only, so that every default can be
// checked without an installation.
#include "upgrade_driver.h"

#include "driver_internal.h"
#include "kx_files.h"

namespace {

constexpr const char* kRulesDir = "upgrade";
constexpr const char* kRulesSuffix = ".upg";
constexpr const char* kSyntaxDir = "syntax";
constexpr const char* kSyntaxSuffix = ".syn";
constexpr const char* kCustomDir = "custom";
constexpr const char* kTempSuffix = ".tup";
constexpr const char* kCheckLogSuffix = ".chk";

}  // namespace

BASE_NAMES base_names(const char* new_config_file, const char* config_dir) {
    BASE_NAMES base;
    const bool given_dir = new_config_file[0] == '/' || new_config_file[0] == '.';
    std::string name = given_dir ? new_config_file : std::string(config_dir) + new_config_file;
    // basename cuts trailing "/" off the name in place.
    base.filename = basename(name.data());
    base.new_config_file = name.c_str();
    base.dir = given_dir ? driver::directory_of(base.new_config_file) : config_dir;
    return base;
}

DEFAULT_NAMES default_names(const BASE_NAMES& base, const char* prev_kx_version) {
    return {base.dir + kRulesDir + "/" + base.filename + kRulesSuffix,
            base.dir + kSyntaxDir + "/" + base.filename + kSyntaxSuffix,
            base.dir + prev_kx_version + "/" + kCustomDir + "/" + base.filename};
}

std::string default_prev_syntax_file(const std::string& prev_config_file) {
    return driver::directory_of(prev_config_file) + kSyntaxDir + "/" + driver::last_component(prev_config_file) +
           kSyntaxSuffix;
}

std::string temporary_copy_name(const std::string& result_target) { return result_target + kTempSuffix; }

std::string check_log_name(const std::string& result_target, const BASE_NAMES& base) {
    return driver::directory_of(result_target) + base.filename + kCheckLogSuffix;
}
