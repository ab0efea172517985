// The names a run derives from the new configuration file's name, one row
// per way of naming it.
#include <gtest/gtest.h>

#include <string>

#include "kx_test_support.h"
#include "upgrade_driver.h"

namespace {

// Every name derived from the new file as given (-c) and the output file
// (-o), with the configuration directory "/kx/etc/" and the previous version
// "v4.0.1": the new file, D, F, the rules file, the new syntax file, the
// previous file, its syntax file, the working copy and the check log; all
// of them for each way of naming the new file are in default_names.txt.
TEST(DefaultNames, FollowTheNewFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"app", nullptr},
        // A directory in a name without "/" or "." at its start is still
        // taken in the configuration directory, which stays D.
        {"sub/app", nullptr}, {"./app", nullptr},
        {".cfg", nullptr},  // a hidden file in the current directory: D is empty
        {"/srv/kx/app/", nullptr},
        // With -o the working copy and the check log go beside the output file.
        {"app", "out/x"}, {"app", "x"}};
    std::string derived;
    for (const auto& [given, output] : cases) {
        const BASE_NAMES base = base_names(given, "/kx/etc/");
        const DEFAULT_NAMES names = default_names(base, "v4.0.1");
        const std::string target = output ? output : base.new_config_file;
        derived += std::string("-c ") + given + (output ? std::string(" -o ") + output : "") + "\n";
        for (const std::string& name : {base.new_config_file, base.dir, base.filename, names.upgrade_rules_file,
                                        names.new_syntax_file, names.prev_config_file,
                                        default_prev_syntax_file(names.prev_config_file),
                                        temporary_copy_name(target), check_log_name(target, base)})
            derived += "  " + name + "\n";
    }
    EXPECT_EQ(derived, kxtest::expected_output("upgrade/driver/default_names.txt"));
    // A previous file given with -C has its syntax file beside it.
    EXPECT_EQ(default_prev_syntax_file("g/prev"), "g/syntax/prev.syn");
    EXPECT_EQ(default_prev_syntax_file("prev"), "syntax/prev.syn");
}

}  // namespace
