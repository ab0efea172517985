// kxconf's promises to scripts: the exit statuses, a file left byte for
// byte as it was by every failed command, the lock honoured and waited for,
// concurrent changes kept, and the checks (parse, syntax file, checksum).
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

using testing::HasSubstr;

namespace {

const char* const kFile = "[system]\nadmin = root\n(cache)\nsize = 10k\nhome = $KESTRIX_HOME/cache\n";

struct Kx {
    kxtest::TempTree tree;
    std::string file = tree.file("etc/site.cfg");

    explicit Kx(const std::string& text = kFile) { kxtest::write_file(file, text); }

    kxtest::RunResult operator()(std::vector<std::string> args) const {
        args.insert(args.begin(), {kxtest::program_path("kxconf"), "-f", file});
        return kxtest::run_program(args);
    }
    std::string text() const { return kxtest::read_file(file); }
};

struct Failing {
    std::vector<std::string> args;
    int status;
    const char* message;
};

TEST(KxconfSafety, EveryFailedCommandLeavesTheFileByteIdentical) {
    Kx kx;
    const std::vector<Failing> cases = {
        {{"set", "system", "bad name", "v"}, 2, "Invalid character in keyword"},
        {{"set", "sys tem", "k", "v"}, 2, "Invalid character in section name"},
        {{"set", "a/b/c", "k", "v"}, 2, "more than one \"/\""},
        {{"set", "system/", "k", "v"}, 2, "no subsection"},
        {{"set", "system", "k"}, 2, "usage: kxconf set"},
        {{"set", "system", "k", "v", "--instance", "0"}, 2, "--instance needs a whole number from 1"},
        {{"set", "system", "k", "v", "--add", "--instance", "1"}, 2, "exclude each other"},
        {{"set", "system", "k", "v", "--all"}, 2, "--all is not an option of set"},
        {{"get", "system", "admin", "--format", "json"}, 2, "--format is not an option of get"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"--wait", "soon", "get", "system", "admin"}, 2, "--wait needs a whole number"},
        {{"list", "--format", "xml"}, 2, "unknown format"},
        {{"unset", "system/cache", "nosuch"}, 1, "Keyword not found"},
        {{"unset", "nosuch/cache", "size"}, 1, "Section not found"},
        {{"cksum", "system"}, 2, "cksum needs SECTION/SUBSECTION"},
        {{"cksum", "system/nosuch"}, 1, "Subsection not found"},
        {{"cksum", "system/cache", "--verify"}, 5, "no checksum stored"},
        {{"check", "-s", "/nonexistent.syn"}, 2, "syntax file /nonexistent.syn is not usable"},
    };
    const std::string before = kx.text();
    for (const Failing& c : cases) {
        kxtest::RunResult r = kx(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message)) << c.args[0];
        EXPECT_EQ(r.err.rfind("kxconf: ", 0), 0u) << r.err;
        EXPECT_EQ(kx.text(), before) << c.args[0];
    }
    EXPECT_FALSE(kxtest::path_exists(kx.file + ".tmp"));

    // A file the library cannot parse: its line is named, nothing written.
    Kx broken("[system]\nadmin = root\nno equals sign\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"get", "system", "admin"}, {"set", "system", "admin", "x"}, {"list"}}) {
        kxtest::RunResult r = broken(args);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "kxconf: " + broken.file + ":3: Invalid character in keyword\n");
        EXPECT_EQ(broken.text(), "[system]\nadmin = root\nno equals sign\n");
    }
    // An unterminated last line is read, and kept by a change elsewhere.
    Kx unterminated("[system]\nadmin = root\nlast = line");
    kxtest::RunResult r = unterminated({"get", "system", "last"});
    EXPECT_EQ(r.out, "line\n");
    EXPECT_EQ(unterminated({"set", "system", "admin", "x"}).status, 0);
    EXPECT_EQ(unterminated.text(), "[system]\nadmin = x\nlast = line\n");

    Kx missing;
    ::unlink(missing.file.c_str());
    r = missing({"set", "system", "admin", "x"});
    EXPECT_EQ(r.status, 4);
    EXPECT_THAT(r.err, HasSubstr("cannot open " + missing.file + ": No such file or directory"));
    EXPECT_FALSE(kxtest::path_exists(missing.file));
}

TEST(KxconfSafety, AWriteThatFailsLeavesTheFileAndSaysWhy) {
    Kx kx;
    // A directory where the write-back's temporary file would go.
    kxtest::make_dirs(kx.file + ".tmp");
    kxtest::RunResult r = kx({"set", "system/new", "k", "x"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "kxconf: cannot write " + kx.file + ": Is a directory\n");
    EXPECT_EQ(kx.text(), kFile);
    r = kx({"cksum", "system/cache"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(kx.text(), kFile);
}

TEST(KxconfSafety, ALockHeldElsewhereFailsNamingItOrIsWaitedFor) {
    Kx kx;
    KXCF_FILE* holder = kxcf_open(kx.file.c_str(), KXCF_UPDATE);
    ASSERT_NE(holder, nullptr) << kx_errno;
    kxtest::RunResult r = kx({"set", "system", "admin", "x"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "kxconf: cannot lock " + kx.file + ": " + kx.file +
                         ".lck: Another process owns lock for writing\n");
    EXPECT_EQ(kx.text(), kFile);
    // Readers never lock.
    EXPECT_EQ(kx({"get", "system", "admin"}).out, "root\n");

    r = kx({"--wait", "1", "unset", "system", "admin"});
    EXPECT_EQ(r.status, 4);
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        kxcf_close(holder);
    });
    r = kx({"--wait", "20", "set", "system", "admin", "x"});
    release.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kx({"get", "system", "admin"}).out, "x\n");
}

TEST(KxconfSafety, TwoProcessesSettingAtOnceLoseNothing) {
    Kx kx("[system]\nadmin = root\n");
    ASSERT_EQ(::chmod(kx.file.c_str(), 0640), 0);
    // Both writers create the same missing section: it must appear once.
    const std::string loop = "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do '" + kxtest::program_path("kxconf") +
                             "' --wait 60 -f '" + kx.file + "' set new/sub ";
    kxtest::RunResult r = kxtest::run_program(
        {"sh", "-c", "(" + loop + "a_$i $i || exit 1; done) & " + "(" + loop + "b_$i $i || exit 1; done) & wait"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(kx({"list", "--format", "json"}).out);
    ASSERT_EQ(doc["sections"].size(), 2u) << doc.dump();
    ASSERT_EQ(doc["sections"][1]["subsections"].size(), 1u) << doc.dump();
    const nlohmann::json& keywords = doc["sections"][1]["subsections"][0]["keywords"];
    EXPECT_EQ(keywords.size(), 30u);
    for (int i = 1; i <= 15; ++i) {
        for (const char* writer : {"a_", "b_"})
            EXPECT_EQ(keywords.value(writer + std::to_string(i), nlohmann::json()),
                      nlohmann::json::array({std::to_string(i)}));
    }
    struct stat st {};
    ASSERT_EQ(::stat(kx.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(KxconfSafety, CheckReportsParseFaultsAndSyntaxFindingsWithLines) {
    Kx kx;
    EXPECT_EQ(kx({"check"}).status, 0);
    Kx broken("# note\n[system]\n(cache\n");
    kxtest::RunResult r = broken({"check"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, broken.file + ":3: Subsection has no end char\n");

    const std::string syntax = kx.tree.file("etc/site.syn");
    kxtest::write_file(syntax, "[system]\nadmin = string\n(cache)\nsize = size\nhome = string\n");
    EXPECT_EQ(kx({"check", "-s", syntax}).status, 0);
    kxtest::write_file(kx.file, "[system]\nadmin = root\ncolour = red\n(cache)\nsize = big\n[extra]\n");
    r = kx({"check", "-s", syntax});
    EXPECT_EQ(r.status, 5);
    // Findings carry the checked file's name, then the line when there is one.
    for (const char* finding : {": [system] colour: keyword not allowed\n",
                                ": [system] (cache) size: value \"big\" is not a size (a number and b, k or m)\n",
                                ": [extra]: section not allowed\n"}) {
        EXPECT_THAT(r.out, HasSubstr(finding));
    }
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_EQ(r.out.rfind(kx.file, 0), 0u);
    kxtest::write_file(syntax, "[system]\nadmin = colour\n");
    r = kx({"check", "-s", syntax});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("unknown value kind \"colour\""));
}

TEST(KxconfSafety, CksumStoresTheLibrarysChecksumAndVerifyOnlyCompares) {
    Kx kx;
    kxtest::RunResult r = kx({"cksum", "system/cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sum = r.out;
    EXPECT_THAT(sum, testing::MatchesRegex("[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+\n"));
    EXPECT_EQ(kx.text(), std::string(kFile) + "cksum_cache = " + sum);
    const std::string stored = kx.text();
    EXPECT_EQ(kx({"cksum", "system/cache", "--verify"}).status, 0);
    EXPECT_EQ(kx({"cksum", "system/cache"}).out, sum);
    EXPECT_EQ(kx.text(), stored);

    // Values enter the checksum expanded, as the suite's programs read them.
    r = kxtest::run_program({kxtest::program_path("kxconf"), "-f", kx.file, "cksum", "system/cache", "--verify"},
                            {{"KESTRIX_HOME", "/elsewhere"}});
    EXPECT_EQ(r.status, 5);
    EXPECT_THAT(r.err, HasSubstr("cksum_cache: stored checksum " + sum.substr(0, sum.size() - 1) + " does not match"));
    EXPECT_NE(r.out, sum);
    EXPECT_EQ(kx.text(), stored);

    ASSERT_EQ(kx({"set", "system/cache", "size", "20k"}).status, 0);
    const std::string changed = kx.text();
    EXPECT_EQ(kx({"cksum", "system/cache", "--verify"}).status, 5);
    EXPECT_EQ(kx.text(), changed);
    EXPECT_EQ(kx({"cksum", "system/cache", "--name", "Audit"}).status, 0);
    EXPECT_THAT(kx.text(), HasSubstr("\ncksum_audit = "));
}

TEST(KxconfSafety, HelpAndVersionDescribeTheProgram) {
    kxtest::RunResult r = kxtest::run_program({kxtest::program_path("kxconf"), "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"get SECTION[/SUBSECTION] KEYWORD", "cksum SECTION/SUBSECTION", "--wait SECONDS",
                             "Exit status:", "  4  the file cannot be opened, locked or written"})
        EXPECT_THAT(r.out, HasSubstr(part));
    std::smatch release;
    const std::string project = kxtest::read_file(std::string(KX_SOURCE_DIR) + "/CMakeLists.txt");
    ASSERT_TRUE(std::regex_search(project, release, std::regex(R"(project\(kestrix VERSION ([0-9.]+))")));
    r = kxtest::run_program({kxtest::program_path("kxconf"), "--version"});
    EXPECT_EQ(r.out, "kxconf " + release[1].str() + "\n");
    r = kxtest::run_program({kxtest::program_path("kxconf")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kxconf: no command given (kxconf --help shows the usage)\n");
}

}  // namespace
