// config_upgrade -n on the example installation: the diff it prints is the
// upgrade's, and it changes nothing, the suite log included; its exit
// status and decision report are those of the real run, which gives the
// checked-in result and accounts in its report for every previous keyword.
#include <gmock/gmock.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <map>

#include "kx_report_check.h"
#include "kx_test_support.h"

using testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

// Every file and directory under ROOT with its content (files) or "dir".
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        all[path] = entry.is_directory() ? "dir" : kxtest::read_file(path);
    }
    return all;
}

// The hunks of a unified diff, without its two label lines.
std::string hunks(const std::string& diff) {
    const std::size_t first = diff.find("\n@@");
    return first == std::string::npos ? "" : diff.substr(first + 1);
}

struct Example {
    kxtest::TempTree tree;
    kxtest::TempTree tmp{false};  // the preview's $TMPDIR
    kxtest::TempTree reports{false};
    std::string etc = tree.config_dir();

    Example() {
        auto copy = kxtest::run_program({"cp", "-R", std::string(KX_SOURCE_DIR) + "/examples/.", tree.path()});
        EXPECT_EQ(copy.status, 0) << copy.err;
    }
    kxtest::RunResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), kxtest::program_path("config_upgrade"));
        return kxtest::run_program(
            args, {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}, {"TMPDIR", tmp.path()}}, etc);
    }
};

TEST(DriverPreview, ShowsTheUpgradeAndChangesNothing) {
    Example ex;
    const std::string source = KX_SOURCE_DIR;
    const auto expected = kxtest::run_program(
        {"diff", "-u", source + "/examples/qzt/etc/qzt_config", source + "/examples/expected/qzt_config"});
    ASSERT_EQ(expected.status, 1);

    const auto before = snapshot(ex.tree.path());
    auto r = ex.run({"-n", "-c", "qzt_config", "--report", ex.reports.path() + "/preview.json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("--- " + ex.etc + "qzt_config\n+++ " + ex.etc + "qzt_config (upgraded)\n", 0), 0u)
        << r.out;
    EXPECT_EQ(hunks(r.out), hunks(expected.out));
    EXPECT_EQ(snapshot(ex.tree.path()), before);
    EXPECT_TRUE(fs::is_empty(ex.tmp.path()));

    // The real run gives what the preview showed: the checked-in result.
    r = ex.run({"-c", "qzt_config", "--report", ex.reports.path() + "/report.json"});
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
    EXPECT_EQ(kxtest::read_file(ex.etc + "qzt_config"), kxtest::read_file(source + "/examples/expected/qzt_config"));
    const std::string log = kxtest::read_file(ex.tree.path() + "/qzt/log/qzt_log");
    EXPECT_THAT(log, HasSubstr("SUCCESS:  Kestrix Configuration File Upgrade Completed"));

    // Every previous keyword line has one entry, with the fate the log tells
    // and the rule at its line; the preview decided the same.
    const nlohmann::json report = kxtest::read_decision_report(ex.reports.path() + "/report.json");
    kxtest::expect_report_matches_files(report, ex.etc + "v4.0.1/custom/qzt_config",
                                        ex.etc + "upgrade/qzt_config.upg", log);
    EXPECT_EQ(report["run"]["outcome"], "completed");
    EXPECT_EQ(report["run"]["result"]["file"], ex.etc + "qzt_config");
    const nlohmann::json preview = kxtest::read_decision_report(ex.reports.path() + "/preview.json");
    EXPECT_EQ(kxtest::decisions_of(preview), kxtest::decisions_of(report));
    int written = 0, ruled = 0;
    for (const nlohmann::json& k : report["keywords"]) {
        EXPECT_NE(k["fate"], "not_processed") << k;
        ++(k["result"].is_null() ? ruled : written);
    }
    EXPECT_GT(written, 40);
    EXPECT_GT(ruled, 10);
}

// A preview of a failing run fails the same way and still changes nothing;
// with -X it shows what would be saved.
TEST(DriverPreview, FailsAsTheRealRunWouldAndStillChangesNothing) {
    const std::pair<std::vector<std::string>, bool> cases[] = {  // options, whether a diff shows
        {{}, false}, {{"-X"}, true}, {{"-o", "/nonexistent/out"}, false}};
    for (const auto& [options, diff] : cases) {
        Example ex;
        SCOPED_TRACE(testing::PrintToString(options));
        if (options.size() < 2)  // a rule the merge cannot apply
            kxtest::write_file(ex.etc + "upgrade/qzt_config.upg",
                               kxtest::read_file(ex.etc + "upgrade/qzt_config.upg") + "[..]\n_upgrade = sideways\n");
        const auto before = snapshot(ex.tree.path());
        std::vector<std::string> args = {"-n", "-c", "qzt_config", "--report", ex.reports.path() + "/r.json"};
        args.insert(args.end(), options.begin(), options.end());
        auto preview = ex.run(args);
        const nlohmann::json preview_report = kxtest::read_decision_report(ex.reports.path() + "/r.json");
        EXPECT_EQ(snapshot(ex.tree.path()), before);
        EXPECT_TRUE(fs::is_empty(ex.tmp.path()));
        EXPECT_EQ(preview.status, 1);
        EXPECT_THAT(preview.err, HasSubstr("EXIT: Kestrix Configuration File Upgrade FAILED"));
        EXPECT_EQ(preview.out.find("\n@@") != std::string::npos, diff) << preview.out;

        args.erase(args.begin());
        auto real = ex.run(args);
        EXPECT_EQ(real.status, preview.status);
        EXPECT_EQ(real.err, preview.err);
        const nlohmann::json report = kxtest::read_decision_report(ex.reports.path() + "/r.json");
        EXPECT_EQ(kxtest::decisions_of(preview_report), kxtest::decisions_of(report));
        EXPECT_EQ(preview_report["run"]["outcome"], report["run"]["outcome"]);
        EXPECT_EQ(preview_report["run"]["result"], report["run"]["result"]);
    }
}

// A preview that cannot make its directory, or is told to trace, writes
// nothing under the installation either: no suite log, no debug file. A
// TMPDIR that every user may write without the sticky bit is refused.
TEST(DriverPreview, WritesNothingUnderTheInstallationInAnyCase) {
    Example ex;
    const std::string file = ex.tmp.path() + "/file", open_dir = ex.tmp.path() + "/open";
    kxtest::write_file(file, "");
    kxtest::make_dirs(open_dir);
    ASSERT_EQ(::chmod(open_dir.c_str(), 0777), 0);
    const auto before = snapshot(ex.tree.path());
    for (const std::string& tmpdir : {ex.tmp.path() + "/missing", file, open_dir, ex.tmp.path()}) {
        SCOPED_TRACE(tmpdir);
        auto r = kxtest::run_program({kxtest::program_path("config_upgrade"), "-n", "-d", "3", "-c", "qzt_config"},
                                     {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}, {"TMPDIR", tmpdir}}, ex.etc);
        EXPECT_EQ(snapshot(ex.tree.path()), before);
        EXPECT_EQ(r.status, tmpdir == ex.tmp.path() ? 0 : 1) << r.err;
        if (tmpdir == open_dir) {
            EXPECT_THAT(r.err, HasSubstr("TMPDIR " + open_dir + " is writable by every user"));
        }
        if (tmpdir == ex.tmp.path()) {
            EXPECT_THAT(r.err, HasSubstr("arg[1] = '-n'"));  // the traces
        }
    }
    EXPECT_TRUE(fs::is_empty(open_dir));
}

// Whoever swaps the preview's directory for a link to another directory
// while it runs neither changes the run's result nor gets that directory
// emptied.
TEST(DriverPreview, ASwappedDirectoryIsNeitherUsedNorEmptied) {
    Example ex;
    const std::string victim = ex.tmp.path() + "-victim";
    kxtest::make_dirs(victim);
    kxtest::write_file(victim + "/precious", "keep\n");
    std::atomic<bool> running{true};
    std::atomic<int> swaps{0};
    std::thread attacker([&] {
        while (running) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(ex.tmp.path(), ec)) {
                const std::string name = entry.path().string();
                if (entry.is_symlink() || name.find("config_upgrade.") == std::string::npos) continue;
                if (::rename(name.c_str(), (name + ".moved").c_str()) == 0 && ::symlink(victim.c_str(), name.c_str()) == 0)
                    ++swaps;
            }
        }
    });
    for (int run = 0; run < 9; ++run) {
        // Swapped before it was opened, the directory is refused.
        auto r = ex.run({"-n", "-c", "qzt_config"});
        if (r.status != 0) {
            EXPECT_THAT(r.err, HasSubstr("It is not the private directory this program made"));
        } else {
            EXPECT_THAT(r.out, HasSubstr("\n@@"));
        }
    }
    running = false;
    attacker.join();
    EXPECT_EQ(kxtest::read_file(victim + "/precious"), "keep\n") << swaps << " swaps";
    kxtest::remove_tree(victim);
}

}  // namespace
