// A private installation tree for runs of config_upgrade: main
// configuration file with log and debug files, a configuration set
// (new file, rules, syntax, previous release) and a stand-in config_check
// on PATH that records its arguments, rejects a file holding REJECT and is
// killed by a signal on a file holding KILLME.
#pragma once

#include <string>
#include <vector>

#include "kx_test_support.h"

namespace drvtest {

inline void put(const std::string& path, const std::string& text, int mode = 0644) {
    kxtest::make_dirs(path.substr(0, path.rfind('/')));
    kxtest::write_file(path, text, mode);
}

struct Install {
    kxtest::TempTree tree;
    std::string root = tree.path();
    std::string etc = tree.config_dir();
    std::string log = root + "/log/kx_log";
    std::string debug = root + "/log/debug";
    std::string calls = root + "/calls";

    Install() {
        tree.write_main_config("[system]\nkestrix_version = v5.0.0\n[log_files]\n(system)\nlog_file = " + log +
                               "\n(debug)\nlog_file = " + debug + "\n");
        kxtest::make_dirs(root + "/log");
        put(root + "/bin/config_check",
            "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >>'" + calls + "'\necho >>'" + calls +
                "'\ncase \"$(cat \"$2\")\" in\n*KILLME*) kill -KILL $$ ;;\n"
                "*REJECT*) echo \"$2: rejected\"; exit 1 ;;\nesac\necho \"$2: valid\"\n",
            0755);
    }

    // The new file NAME in DIR with its rules and syntax files, the version
    // files of DIR and, when prev is given, the previous release's file.
    void add_set(const std::string& dir, const std::string& name, const std::string& text,
                 const char* prev = nullptr) const {
        put(dir + name, text);
        put(dir + "upgrade/" + name + ".upg", "[rules]\n");
        put(dir + "syntax/" + name + ".syn", "[syntax]\n");
        // Another directory than the installation's has versions of its own.
        const std::string prev_version = dir == etc ? "v4.0.1" : "v4.0.2";
        put(dir + "upgrade_ver", prev_version + "\n");
        if (dir != etc) put(dir + "qzt_config", "[system]\nkestrix_version = v5.1.0\n");
        if (prev) {
            put(dir + prev_version + "/custom/" + name, prev);
            put(dir + prev_version + "/custom/syntax/" + name + ".syn", "[syntax]\n");
        }
    }

    kxtest::RunResult run(std::vector<std::string> args, const std::string& cwd = "") const {
        args.insert(args.begin(), kxtest::program_path("config_upgrade"));
        return kxtest::run_program(args, {{"PATH", root + "/bin:/usr/bin:/bin"}, {"KESTRIX_HOME", root}}, cwd);
    }

    // TEXT with every "@" replaced by the configuration directory.
    std::string at(std::string text) const {
        for (std::size_t pos; (pos = text.find('@')) != std::string::npos;) text.replace(pos, 1, etc);
        return text;
    }

    static std::string text_of(const std::string& path) {
        return kxtest::path_exists(path) ? kxtest::read_file(path) : "";
    }
};

inline bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline const std::string kNotSaved =
    "EXIT: Kestrix Configuration File Upgrade FAILED\n"
    "  Modifications to New configuration file were NOT saved\n\n";

inline std::string saved_exit(const std::string& label, const std::string& target) {
    return "EXIT: Kestrix Configuration File Upgrade FAILED\n"
           "  Modifications to New configuration file were saved with errors\n"
           "  Running Kestrix with this configuration file may have erroneous results\n  " +
           label + ": " + target + "\n\n";
}

}  // namespace drvtest
