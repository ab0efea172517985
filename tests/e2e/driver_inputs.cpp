// The command line and the program inputs of config_upgrade: usage, the
// names derived from the new configuration file, missing inputs, debug
// output and version warnings.
#include <gtest/gtest.h>

#include <utility>

#include "driver_tree.h"

using drvtest::has;
using drvtest::Install;
using drvtest::kNotSaved;
using drvtest::put;
using kxtest::path_exists;

namespace {

TEST(DriverInputs, BadCommandLineGivesTheUsage) {
    Install in;
    const std::string usage = kxtest::read_file(std::string(KX_SOURCE_DIR) + "/tests/e2e/driver_usage.txt");
    // The platform's own diagnostic comes first for an unknown option or a
    // missing argument.
    const std::pair<std::vector<std::string>, bool> lines[] = {{{}, true},
                                                               {{"-c", "a", "-c", "b"}, true},
                                                               {{"-X", "-C", "p", "-c", "a", "-C", "q"}, true},
                                                               {{"-q", "-c", "a"}, false},
                                                               {{"-c"}, false}};
    for (const auto& [line, exact] : lines) {
        auto r = in.run(line);
        EXPECT_EQ(r.status, 1);
        ASSERT_GE(r.err.size(), usage.size());
        EXPECT_EQ(r.err.substr(r.err.size() - usage.size()), usage);
        EXPECT_EQ(r.err.size() == usage.size(), exact);
    }
    EXPECT_EQ(Install::text_of(in.log), "");
}

// Each run stops at the rejected previous file, before the merge; the debug
// output, the checker's arguments, the log and the report name every file.
TEST(DriverInputs, DefaultNamesFollowTheNewFile) {
    const std::string custom = "v4.0.1/custom/", here = "v4.0.2/custom/";
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"-c", "app_config"},
         {"kx_version_to_install = v5.0.0", "upgrade_rules_file = @upgrade/app_config.upg", "new_syntax_file = @syntax/app_config.syn",
          "[-c][@" + custom + "app_config][-s][@" + custom + "syntax/app_config.syn]",
          "tmp_new_config_file = @app_config.tup", "log file: @app_config.chk"}},
        {{"-c", "sub/app_config"},
         {"new_config_file = @sub/app_config\nbase_dir = @\n", "upgrade_rules_file = @upgrade/app_config.upg",
          "prev_config_file = @" + custom + "app_config", "tmp_new_config_file = @sub/app_config.tup",
          "log file: @sub/app_config.chk"}},
        {{"-c", "./app_config"},
         {"base_dir = ./\n", "kx_version_to_install = v5.1.0", "upgrade_rules_file = ./upgrade/app_config.upg", "new_syntax_file = ./syntax/app_config.syn",
          "[-c][./" + here + "app_config][-s][./" + here + "syntax/app_config.syn]", "log file: ./app_config.chk"}},
        {{"-c", ".cfg"},
         {"base_dir = \nbase_filename = .cfg", "upgrade_rules_file = upgrade/.cfg.upg", "new_syntax_file = syntax/.cfg.syn",
          "[-c][" + here + ".cfg][-s][" + here + "syntax/.cfg.syn]", "tmp_new_config_file = .cfg.tup"}},
        {{"-c", "app_config", "-C", "g/prev", "-u", "g/rules", "-S", "g/prev.syn", "-o", "out/result"},
         {"[-c][g/prev][-s][g/prev.syn]", "Upgrade Rules File:\tg/rules", "Output Config File:\tout/result",
          "tmp_new_config_file = out/result.tup", "log file: out/app_config.chk"}},
    };
    for (const auto& [args, names] : cases) {
        Install in;
        SCOPED_TRACE(args[1]);
        const std::string w = in.root + "/w/";
        for (const std::string& dir : {in.etc, w}) in.add_set(dir, "app_config", "[a]\n", "REJECT\n");
        in.add_set(w, ".cfg", "[a]\n", "REJECT\n");
        put(in.etc + "sub/app_config", "[a]\n");
        for (const char* given : {"g/prev", "g/rules", "g/prev.syn", "out/x"}) put(w + given, "REJECT\n");

        std::vector<std::string> line = args;
        line.insert(line.end(), {"-D", "show_detail"});
        auto r = in.run(line, w);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, "config_check failed for Previous Config file")) << r.err;
        std::string seen = Install::text_of(in.debug) + Install::text_of(in.calls) + Install::text_of(in.log) + r.err;
        for (const std::string& name : names) EXPECT_TRUE(has(seen, in.at(name))) << in.at(name);
    }
}

TEST(DriverInputs, MissingInputsEndTheRunBeforeTheCopy) {
    struct Case {
        std::vector<std::string> args;
        const char* remove;  // relative to the configuration directory
        std::string message;
    } cases[] = {
        {{"-c", "app_config"}, "app_config", "New Configuration file does not exist\n  New Config File: @app_config\n\n"},
        {{"-c", "app_config", "-V", "v4.0.1", "-o", "nodir/out"}, "upgrade_ver",
         "Directory for Output Configuration file does not exist\n  Output Config file: nodir/out\n\n"},
        {{"-c", std::string(1100, 'x')}, nullptr, "Path name longer than 1024 characters:\n  @xxxx"},
        // The debug file's directory is a plain file.
        {{"-c", "app_config", "-d", "1"}, "../../log", "main: debug file open fail\n\n"},
    };
    for (const Case& c : cases) {
        Install in;
        SCOPED_TRACE(c.message);
        in.add_set(in.etc, "app_config", "[a]\n");
        if (c.remove) kxtest::remove_tree(in.etc + c.remove);
        if (c.remove && std::string(c.remove) == "../../log") put(in.root + "/log", "");
        auto r = in.run(c.args, in.root);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, in.at(c.message))) << r.err;
        EXPECT_TRUE(has(r.err, kNotSaved));
        EXPECT_FALSE(path_exists(in.etc + "app_config.tup"));
    }
}

TEST(DriverInputs, DebugOutputAndVersionWarnings) {
    Install in;
    in.add_set(in.etc, "app_config", "[a]\n");
    put(in.etc + "upgrade_ver", "4.0\n");
    auto r = in.run({"-c", "app_config", "-v", "5", "-d", "2", "-D", "show_detail"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "WARNING: New Kestrix version \"5\" is not a valid version number\n\n"
              "WARNING: Previous Kestrix version \"4.0\" is not a valid version number\n\n");
    std::string debug = Install::text_of(in.debug);
    for (const char* line : {"arg[1] = '-c'", "check_program_inputs:", "prev_config_file = ", "run_config_check:",
                             "ERROR: 0  WARNING: Previous Kestrix version \"4.0\"", "SUCCESS:  Kestrix"})
        EXPECT_TRUE(has(debug, line)) << line;
    EXPECT_TRUE(has(debug, in.etc + "4.0/custom/app_config"));
}

}  // namespace
