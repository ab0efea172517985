// kxconf's promises to scripts: the exit statuses, a file left byte for
// byte as it was by every failed command, the lock honoured and waited for,
// concurrent changes kept, and the checks (parse, syntax file, checksum).
#include <gmock/gmock.h>
#include <sys/stat.h>

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

    using Env = std::map<std::string, std::string>;
    kxtest::RunResult operator()(std::vector<std::string> args, const Env& env = {}) const {
        args.insert(args.begin(), {kxtest::program_path("kxconf"), "-f", file});
        return kxtest::run_program(args, env);
    }
    std::string text() const { return kxtest::read_file(file); }
};

// The run ended with STATUS and said TEXT on standard error; a TEXT ending
// in a newline must be all it said.
MATCHER_P2(Fails, status, text, "") {
    const std::string want = text;
    *result_listener << "status " << arg.status << ", stderr: " << arg.err;
    return arg.status == status && (want.back() == '\n' ? arg.err == want : arg.err.find(want) != std::string::npos);
}

TEST(KxconfSafety, EveryFailedCommandLeavesTheFileByteIdentical) {
    Kx kx;
    // Says MESSAGE with STATUS, after "kxconf: " and the file's name when a name is missing.
    auto fails = [&kx](const std::vector<std::string>& args, int status, const std::string& message) {
        kxtest::RunResult r = kx(args);
        EXPECT_THAT(r, Fails(status, message)) << testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind(status == 1 ? "kxconf: " + kx.file + ": " : "kxconf: ", 0), 0u) << r.err;
        if (status != 5) {  // a failed verify still prints the checksum it computed
            EXPECT_EQ(r.out, "") << args[0];
        }
        EXPECT_EQ(kx.text(), kFile) << args[0];
    };
    fails({"set", "system", "bad name", "v"}, 2, "Invalid character in keyword");
    fails({"set", "sys tem", "k", "v"}, 2, "Invalid character in section name");
    fails({"set", "a/b/c", "k", "v"}, 2, "more than one \"/\"");
    fails({"set", "system/", "k", "v"}, 2, "no subsection");
    fails({"set", "system", "k"}, 2, "usage: kxconf set");
    fails({"set", "system", "k", "v", "--instance", "0"}, 2, "--instance needs a whole number from 1");
    fails({"set", "system", "k", "v", "--add", "--instance", "1"}, 2, "exclude each other");
    fails({"set", "system", "k", "v", "--all"}, 2, "--all is not an option of set");
    fails({"get", "system", "admin", "--format", "json"}, 2, "--format is not an option of get");
    fails({"frobnicate"}, 2, "unknown command");
    fails({"--wait", "soon", "get", "system", "admin"}, 2, "--wait needs a whole number");
    fails({"list", "--format", "xml"}, 2, "unknown format");
    fails({"cksum", "system"}, 2, "cksum needs SECTION/SUBSECTION");
    fails({"check", "-s", "/nonexistent.syn"}, 2,
          "syntax file /nonexistent.syn is not usable; /nonexistent.syn: No such file or directory");
    // Values the file cannot give back as they were set.
    for (const std::string& bad : {std::string("two\nlines"), std::string(" lead"), std::string("trail\t"),
                                   std::string("cr\r"), std::string("\vvt"), std::string("ff\f"), std::string(1153, 'v')})
        fails({"set", "system", "admin", bad}, 2, "kxconf: a value");
    fails({"get", "nosuch", "k"}, 1, "Section not found");
    fails({"get", "system/nosuch", "size"}, 1, "Subsection not found");
    fails({"get", "system", "nosuch"}, 1, "Keyword not found");
    fails({"get", "system", "admin", "--instance", "2"}, 1, "Invalid instance parameter");
    fails({"unset", "system", "admin", "--instance", "2"}, 1, "Invalid instance parameter");
    fails({"unset", "system/cache", "nosuch"}, 1, "Keyword not found");
    fails({"unset", "nosuch/cache", "size"}, 1, "Section not found");
    fails({"list", "system/nosuch"}, 1, "Subsection not found");
    fails({"sections", "nosuch"}, 1, "Section not found");
    fails({"cksum", "system/nosuch"}, 1, "Subsection not found");
    fails({"cksum", "system/cache", "--verify"}, 5, "no checksum stored");
    // ".." is the upgrade rules' pattern word; a FIFO is refused at once, named.
    fails({"set", "../etc", "k", "v"}, 2, "\"..\" is not a section name");
    fails({"rename", "system/cache", ".."}, 2, "\"..\" is not a subsection name");
    fails({"rename", "system", "Bad Name"}, 2, "names hold letters, digits");
    ASSERT_EQ(::mkfifo((kx.file + ".fifo").c_str(), 0600), 0);
    EXPECT_THAT(kxtest::run_program({kxtest::program_path("kxconf"), "-f", kx.file + ".fifo", "set", "s", "k", "v"}),
                Fails(4, "kxconf: cannot open " + kx.file + ".fifo: not a regular file\n"));
    // All or nothing: an edit that cannot be made leaves the file as it was.
    const std::string edits = kx.tree.file("edits");
    kxtest::write_file(edits, "set system admin x\nunset nosuch k\nset system b y\n");
    fails({"apply", edits}, 1, "kxconf: " + kx.file + ": nosuch k: Section not found\n");
    kxtest::write_file(edits, "set system admin x\nset system 'unclosed\n");
    fails({"apply", edits}, 2, "kxconf: " + edits + ":2: a quote is not closed\n");
    fails({"delete", "system"}, 2, "a file needs at least one section");
    fails({"rename", "system/cache", "cache2", "x"}, 2, "usage: kxconf rename");
    // A write that fails: a file size limit (as root, a read-only directory would not stop it).
    kxtest::RunResult too_large = kxtest::run_program({"sh", "-c", "trap '' XFSZ; ulimit -f 1; exec '" +
                                                       kxtest::program_path("kxconf") + "' -f '" + kx.file +
                                                       "' set system/new k " + std::string(1100, 'v')});
    EXPECT_THAT(too_large, Fails(4, "kxconf: cannot write " + kx.file + ": File too large\n"));
    EXPECT_EQ(kx.text(), kFile);
    EXPECT_FALSE(kxtest::temporary_left(kx.file));
    // A write-back that is refused: the file has a second hard link.
    ASSERT_EQ(link(kx.file.c_str(), (kx.file + ".2").c_str()), 0);
    const std::string refused = "kxconf: cannot write " + kx.file + ": Config file has other hard links\n";
    fails({"set", "system/new", "k", "x"}, 4, refused);
    fails({"cksum", "system/cache"}, 4, refused);

    // A file the library cannot parse: its line is named, nothing written.
    const std::string unparsable = "# note\n[system]\nno equals sign\n";
    const std::string missing_equals = ":3: \"=\" is missing after the keyword name \"no\"\n";
    Kx broken(unparsable);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"get", "system", "admin"}, {"set", "system", "admin", "x"}, {"list"}}) {
        EXPECT_THAT(broken(args), Fails(3, "kxconf: " + broken.file + missing_equals));
        EXPECT_EQ(broken.text(), unparsable);
    }
    kxtest::RunResult r = broken({"check"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, broken.file + missing_equals);
    // Each fault says how to mend the file, after the library's words.
    for (const auto& [text, says] : std::vector<std::pair<std::string, std::string>>{
             {"", ": Invalid size of config file: the file is empty or almost; a file needs at least one section"},
             {"# only\n", ":2: Reached premature end of config file: a file needs at least one section header"},
             {std::string("[s]\nk = a\0b\n", 11), ":2: Line in config file too long: the line holds a NUL byte"},
             {"[s]\r\nk = v\r\n", ":1: Invalid char(s) after section: the file has CRLF (DOS) line ends"},
             {"\xEF\xBB\xBFk = v\n[s]\n", ":1: Invalid character in keyword: the file begins with a UTF-8 byte-order"},
             {"[s]\n" + std::string(41, 'k') + " = v\n", ":2: Invalid keyword string size: names hold letters, digits"},
             {"[s]\nk = " + std::string(1153, 'v') + "\n", ":2: Invalid argument string size: a value holds at most 1152"},
             {"[s]\nk = " + std::string(1280, 'v') + "\n", ":2: Line in config file too long: a line holds at most 1278"}}) {
        Kx faulty(text);
        EXPECT_THAT(faulty({"get", "s", "k"}), Fails(3, "kxconf: " + faulty.file + says)) << text;
        EXPECT_THAT(faulty({"check"}).out, HasSubstr(faulty.file + says)) << text;
    }

    // An unterminated last line is read, and kept by a change elsewhere.
    Kx unterminated("[system]\nadmin = root\nlast = line");
    EXPECT_EQ(unterminated({"get", "system", "last"}).out, "line\n");
    EXPECT_EQ(unterminated({"set", "system", "admin", "x"}).status, 0);
    EXPECT_EQ(unterminated.text(), "[system]\nadmin = x\nlast = line");

    // A missing file: made by set and apply (0666 less the umask), refused
    // by the rest; no lock file left for a file that was not made.
    Kx missing;
    ::unlink(missing.file.c_str());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"set", "s", "k", "x", "--existing"},
                                                 {"unset", "s", "k"}, {"get", "s", "k"}, {"delete", "s"}})
        EXPECT_THAT(missing(args), Fails(4, "cannot open " + missing.file + ": No such file or directory")) << args[0];
    EXPECT_THAT(missing({"set", "s/t", "k", "x", "--instance", "2"}), Fails(2, "no instance 2"));
    EXPECT_FALSE(kxtest::path_exists(missing.file));
    EXPECT_FALSE(kxtest::path_exists(missing.file + ".lck"));
    EXPECT_EQ(kxtest::run_program({"sh", "-c", "umask 027; exec '" + kxtest::program_path("kxconf") + "' -f '" +
                                                   missing.file + "' set s k x"}).status, 0);
    EXPECT_EQ(missing.text(), "[s]\nk = x\n");
    struct stat st {};
    ASSERT_EQ(::stat(missing.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(KxconfSafety, ALockHeldElsewhereFailsNamingItOrIsWaitedFor) {
    Kx kx;
    KXCF_FILE* holder = kxcf_open(kx.file.c_str(), KXCF_UPDATE);
    ASSERT_NE(holder, nullptr) << kx_errno;
    EXPECT_THAT(kx({"set", "system", "admin", "x"}),
                Fails(4, "kxconf: cannot lock " + kx.file + ": " + kx.file +
                             ".lck: Another process owns lock for writing (--wait SECONDS waits for it)\n"));
    EXPECT_EQ(kx.text(), kFile);
    EXPECT_EQ(kx({"get", "system", "admin"}).out, "root\n");  // readers never lock
    EXPECT_EQ(kx({"--wait", "1", "unset", "system", "admin"}).status, 4);
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        kxcf_close(holder);
    });
    kxtest::RunResult r = kx({"--wait", "20", "set", "system", "admin", "x"});
    release.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kx({"get", "system", "admin"}).out, "x\n");
}

TEST(KxconfSafety, TwoProcessesEditingAtOnceLoseNothing) {
    Kx kx("[system]\nadmin = root\n");
    ASSERT_EQ(::chmod(kx.file.c_str(), 0640), 0);
    // Both writers create the same missing section: it must appear once.
    // One sets a keyword at a time, the other applies two edits at once.
    const std::string loop = "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do ";
    const std::string kxconf = "'" + kxtest::program_path("kxconf") + "' --wait 60 -f '" + kx.file + "' ";
    kxtest::RunResult r = kxtest::run_program(
        {"sh", "-c", "(" + loop + kxconf + "set new/sub a_$i $i || exit 1; done) & (" + loop +
                         "printf 'set new/sub b_%s %s\\nset system admin root\\n' $i $i | " + kxconf +
                         "apply || exit 1; done) & wait"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json keywords = nlohmann::json::object();
    for (int i = 1; i <= 15; ++i)
        for (const char* writer : {"a_", "b_"}) keywords[writer + std::to_string(i)] = {std::to_string(i)};
    const nlohmann::json doc = nlohmann::json::parse(kx({"list", "--format", "json"}).out);
    EXPECT_EQ(doc["sections"][1], nlohmann::json({{"name", "new"}, {"keywords", nlohmann::json::object()},
                                                  {"subsections", {{{"name", "sub"}, {"keywords", keywords}}}}}));
    EXPECT_EQ(doc["sections"].size(), 2u);
    struct stat st {};
    ASSERT_EQ(::stat(kx.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(KxconfSafety, CheckReportsSyntaxFindingsWithTheFileAndLine) {
    Kx kx;
    const std::string syntax = kx.tree.file("etc/site.syn");
    kxtest::write_file(syntax, "[system]\nadmin = string\n(cache)\nsize = size\nhome = string\n");
    EXPECT_EQ(kx({"check"}).status, 0);
    EXPECT_EQ(kx({"check", "-s", syntax}).status, 0);
    kxtest::write_file(kx.file, "[system]\nadmin = root\ncolour = red\n(cache)\nsize = big\n[extra]\n");
    kxtest::RunResult r = kx({"check", "-s", syntax});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, kx.file + ":3: [system] colour: keyword not allowed\n" + kx.file +
                         ":5: [system] (cache) size: value \"big\" is not a size (a number and b, k or m)\n" +
                         kx.file + ":6: [extra]: section not allowed\n");
    kxtest::write_file(syntax, "[system]\nadmin = colour\n");
    EXPECT_THAT(kx({"check", "-s", syntax}), Fails(2, "unknown value kind \"colour\""));
}

TEST(KxconfSafety, CksumStoresTheLibrarysChecksumAndVerifyOnlyCompares) {
    Kx kx;
    kxtest::RunResult r = kx({"cksum", "system/cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sum = r.out;
    EXPECT_THAT(sum, testing::MatchesRegex("[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+\n"));
    const std::string stored = std::string(kFile) + "cksum_cache = " + sum;
    EXPECT_EQ(kx.text(), stored);
    EXPECT_EQ(kx({"cksum", "system/cache", "--verify"}).status, 0);
    EXPECT_EQ(kx({"cksum", "system/cache"}).out, sum);
    EXPECT_EQ(kx.text(), stored);

    // Values enter the checksum expanded, as the suite's programs read them.
    r = kx({"cksum", "system/cache", "--verify"}, {{"KESTRIX_HOME", "/elsewhere"}});
    EXPECT_THAT(r, Fails(5, "cksum_cache: stored checksum " + sum.substr(0, sum.size() - 1) + " does not match"));
    EXPECT_EQ(kx.text(), stored);
    ASSERT_EQ(kx({"set", "system/cache", "size", "20k"}).status, 0);
    EXPECT_EQ(kx({"cksum", "system/cache", "--verify"}).status, 5);
    EXPECT_EQ(kx({"cksum", "system/cache", "--name", "Audit"}).status, 0);
    EXPECT_THAT(kx.text(), HasSubstr("\ncksum_audit = "));
}

TEST(KxconfSafety, HelpAndVersionDescribeTheProgram) {
    const std::string kxconf = kxtest::program_path("kxconf");
    kxtest::RunResult r = kxtest::run_program({kxconf, "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"get SECTION[/SUBSECTION] KEYWORD", "cksum SECTION/SUBSECTION", "--wait SECONDS",
                             "Exit status:", "  4  the file cannot be opened, locked or written"})
        EXPECT_THAT(r.out, HasSubstr(part));
    std::smatch release;
    const std::string project = kxtest::read_file(std::string(KX_SOURCE_DIR) + "/CMakeLists.txt");
    ASSERT_TRUE(std::regex_search(project, release, std::regex(R"(project\(kestrix VERSION ([0-9.]+))")));
    EXPECT_EQ(kxtest::run_program({kxconf, "--version"}).out, "kxconf " + release[1].str() + "\n");
    EXPECT_THAT(kxtest::run_program({kxconf}), Fails(2, "kxconf: no command given (kxconf --help shows the usage)\n"));
}

}  // namespace
