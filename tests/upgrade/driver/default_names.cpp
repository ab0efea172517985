// The names a run derives from the new configuration file's name, one row
// per way of naming it.
#include <gtest/gtest.h>

#include <string>

#include "upgrade_driver.h"

namespace {

// The new file as given (-c), the output file (-o) or null, then every name
// derived from them with the configuration directory "/kx/etc/" and the
// previous version "v4.0.1", joined by "|": the new file, D, F, the rules
// file, the new syntax file, the previous file, its syntax file, the
// working copy and the check log.
void names_one(const char* given, const char* output, const std::string& expected) {
    const BASE_NAMES base = base_names(given, "/kx/etc/");
    const DEFAULT_NAMES names = default_names(base, "v4.0.1");
    const std::string target = output ? output : base.new_config_file;
    const std::string got = base.new_config_file + "|" + base.dir + "|" + base.filename + "|" +
                            names.upgrade_rules_file + "|" + names.new_syntax_file + "|" + names.prev_config_file +
                            "|" + default_prev_syntax_file(names.prev_config_file) + "|" +
                            temporary_copy_name(target) + "|" + check_log_name(target, base);
    EXPECT_EQ(got, expected) << given;
}

TEST(DefaultNames, FollowTheNewFile) {
    names_one("app", nullptr,
              "/kx/etc/app|/kx/etc/|app|/kx/etc/upgrade/app.upg|/kx/etc/syntax/app.syn|/kx/etc/v4.0.1/custom/app|"
              "/kx/etc/v4.0.1/custom/syntax/app.syn|/kx/etc/app.tup|/kx/etc/app.chk");
    // A directory in a name without "/" or "." at its start is still taken
    // in the configuration directory, which stays D.
    names_one("sub/app", nullptr,
              "/kx/etc/sub/app|/kx/etc/|app|/kx/etc/upgrade/app.upg|/kx/etc/syntax/app.syn|"
              "/kx/etc/v4.0.1/custom/app|/kx/etc/v4.0.1/custom/syntax/app.syn|/kx/etc/sub/app.tup|"
              "/kx/etc/sub/app.chk");
    names_one("./app", nullptr,
              "./app|./|app|./upgrade/app.upg|./syntax/app.syn|./v4.0.1/custom/app|./v4.0.1/custom/syntax/app.syn|"
              "./app.tup|./app.chk");
    // A hidden file in the current directory: D is empty.
    names_one(".cfg", nullptr,
              ".cfg||.cfg|upgrade/.cfg.upg|syntax/.cfg.syn|v4.0.1/custom/.cfg|v4.0.1/custom/syntax/.cfg.syn|"
              ".cfg.tup|.cfg.chk");
    names_one("/srv/kx/app/", nullptr,
              "/srv/kx/app|/srv/kx/|app|/srv/kx/upgrade/app.upg|/srv/kx/syntax/app.syn|/srv/kx/v4.0.1/custom/app|"
              "/srv/kx/v4.0.1/custom/syntax/app.syn|/srv/kx/app.tup|/srv/kx/app.chk");
    // With -o the working copy and the check log go beside the output file.
    names_one("app", "out/x",
              "/kx/etc/app|/kx/etc/|app|/kx/etc/upgrade/app.upg|/kx/etc/syntax/app.syn|/kx/etc/v4.0.1/custom/app|"
              "/kx/etc/v4.0.1/custom/syntax/app.syn|out/x.tup|out/app.chk");
    names_one("app", "x",
              "/kx/etc/app|/kx/etc/|app|/kx/etc/upgrade/app.upg|/kx/etc/syntax/app.syn|/kx/etc/v4.0.1/custom/app|"
              "/kx/etc/v4.0.1/custom/syntax/app.syn|x.tup|app.chk");
    // A previous file given with -C has its syntax file beside it.
    EXPECT_EQ(default_prev_syntax_file("g/prev"), "g/syntax/prev.syn");
    EXPECT_EQ(default_prev_syntax_file("prev"), "syntax/prev.syn");
}

}  // namespace
