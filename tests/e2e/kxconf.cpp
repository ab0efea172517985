// kxconf driven as a script drives it: reading, listing and changing values
// of a file with subsections and repeated keywords, the exact bytes a value
// keeps on its way through set and get; and its promises to scripts: the
// exit statuses, a file left byte for byte as it was by every failed
// command, the lock honoured and waited for, concurrent changes kept, and
// the checks (parse, syntax file, checksum).
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

using testing::HasSubstr;

namespace {

const char* const kFile =
    "# site settings\n"
    "[System]\nadmin = root\nmirror = north\nmirror = south\n"
    "(path_expand)\nbase = /opt/kx\n"
    "[files]\nlog_dir = $base/log\n"
    "(queue)\npath = q1\n"
    "[files]\n(queue)\npath = second\nother = x\n";

const char* const kCached = "[system]\nadmin = root\n(cache)\nsize = 10k\nhome = $KESTRIX_HOME/cache\n";

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

// Runs each line of NAME.cmd beside this test (shell words) on KX's file,
// which none of them changes; what they print and their exit statuses are
// compared whole with NAME.out, the private tree written ROOT there.
void expect_transcript(const Kx& kx, const std::string& name) {
    std::istringstream lines(kxtest::expected_output("e2e/" + name + ".cmd"));
    const std::string before = kx.text();
    std::string said;
    for (std::string line; std::getline(lines, line);) {
        kxtest::RunResult r = kxtest::run_program(
            {"sh", "-c", "exec \"$0\" -f \"$1\" " + line, kxtest::program_path("kxconf"), kx.file});
        said += "$ kxconf " + line + "\n" + r.out + r.err + "exit " + std::to_string(r.status) + "\n";
        EXPECT_EQ(kx.text(), before) << line;
    }
    EXPECT_EQ(kxtest::rooted(said, kx.tree.path()), kxtest::expected_output("e2e/" + name + ".out"));
}

std::string out_of(const kxtest::RunResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(KxconfValues, GetAndListReadInstancesSubsectionsExpansionAndPrintFormatsThatParseBack) {
    Kx kx;
    // Instances, expansion, and the first subsection of a name holding the
    // keyword, across sections.
    expect_transcript(kx, "kxconf_reads");
    // Standard input and pipes are read like files, named as such.
    const std::string kxconf = kxtest::program_path("kxconf");
    for (const char* name : {"-", "/dev/stdin"})
        EXPECT_EQ(kxtest::run_program({kxconf, "-f", name, "get", "files", "log_dir"}, {}, "", kFile).out,
                  "/opt/kx/log\n");
    EXPECT_EQ(kxtest::run_program({kxconf, "-f", "-", "check"}, {}, "", "[s]\nk v\n").out,
              "(standard input):2: \"=\" is missing after the keyword name \"k\"\n");
    EXPECT_THAT(kxtest::run_program({kxconf, "-f", "-", "set", "s", "k", "v"}, {}, "", kFile),
                Fails(2, "standard input, which cannot be changed"));

}

TEST(KxconfValues, SetAddAndUnsetEditTheRightLinesCreateWhatIsMissingAndKeepAnyValue) {
    Kx kx;
    for (const std::vector<std::string>& edit : std::vector<std::vector<std::string>>{
             {"set", "system", "mirror", "east", "--instance", "2"}, {"set", "system", "mirror", "west", "--add"},
             {"set", "system", "admin", ""} /* no value */, {"set", "files/queue", "depth", "4"},
             {"set", "Network/Main", "host", "h1"}, {"set", "network/backup", "host", "h2"},
             {"unset", "files/queue", "path"}, {"unset", "files", "log_dir", "--all"},
             {"set", "gone/sub", "k", "v"}, {"delete", "gone"}, {"set", "files/old", "k", "v"},
             {"rename", "files/old", "main"}, {"delete", "files/main"}})
        EXPECT_EQ(kx(edit).status, 0) << edit[0] << " " << edit[1] << " " << edit[2];
    // The blank line after depth is that of the subsection made and deleted.
    EXPECT_EQ(kx.text(), kxtest::expected_output("e2e/kxconf_edited.cfg"));

    EXPECT_EQ(kx({"unset", "system", "mirror", "--all"}).status, 0);
    EXPECT_EQ(kx({"get", "system", "mirror"}).status, 1);
    // A gap in the instances is refused rather than filled by the next line.
    EXPECT_THAT(kx({"set", "system", "mirror", "x", "--instance", "2"}), Fails(2, "no instance 2"));

    // Any value a line can hold comes back byte for byte.
    for (const std::string& v : std::vector<std::string>{"a b\tc", "# not a comment", "x = y = z", "$HOME/x", "[s] (t)",
                                                         "caf\xc3\xa9 \xff\xfe", "=leading", "'quoted' \"twice\"",
                                                         std::string(1152, 'v'), "semi;colon|pipe&amp`tick`", "-5"}) {
        ASSERT_EQ(kx({"set", "s/t", "k", "--", v}).status, 0) << v;
        EXPECT_EQ(out_of(kx({"get", "s/t", "k", "--raw"})), v + "\n");
    }
    // Expansion keeps a "$" inside a word and reads references at a word start.
    ASSERT_EQ(kx({"set", "s", "price", "5$ or $base/x"}).status, 0);
    EXPECT_EQ(out_of(kx({"get", "s", "price"})), "5$ or /opt/kx/x\n");
}

// ---- edits of hand-written files ---------------------------------------------

// The file as the library reads it, in the order of its lines.
std::string listed(const std::string& path) {
    return out_of(kxtest::run_program({kxtest::program_path("kxconf"), "-f", path, "list", "--format", "json", "--raw"}));
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t nl; at < text.size(); at = nl + 1) {
        nl = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, nl - at));
    }
    return lines;
}

// The number of lines of A kept in B, in order.
std::size_t common_lines(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::vector<std::size_t>> lcs(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = a.size(); i-- > 0;)
        for (std::size_t j = b.size(); j-- > 0;)
            lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    return lcs[0][0];
}

// A file written by hand: names in any case, blanks and tabs anywhere the
// format allows them, comments, blank lines, maybe no last newline.
std::string hand_written(std::mt19937& rng) {
    auto pick = [&rng](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
    const std::vector<std::string> blanks{"", " ", "\t", "  \t"};
    auto junk = [&] { return rng() % 3 ? "" : pick({"# note\n", "  #\tindented note\n", "\n", " \t\n"}); };
    auto list = [&] {
        std::string text = junk();
        for (unsigned k = rng() % 4; k-- > 0;) {
            const std::string name = pick({"port", "Port", "host", "a_b", "x.y"});
            text += pick(blanks) + name + pick({pick(blanks) + "=" + pick(blanks) + pick({"1", "v w", "Example.ORG", "x#y"}),
                                                pick(blanks) + "=", ""}) +
                    pick(blanks) + "\n" + junk();
        }
        return text;
    };
    std::string text = junk();
    for (unsigned s = 1 + rng() % 3; s-- > 0;) {
        text += pick(blanks) + "[" + pick(blanks) + pick({"Server", "server", "db", "Net.Main"}) + pick(blanks) + "]" +
                pick(blanks) + "\n" + list();
        for (unsigned sub = rng() % 3; sub-- > 0;)
            text += pick(blanks) + "(" + pick({"sub", "Sub", "s2"}) + ")" + pick(blanks) + "\n" + list();
    }
    if (rng() % 4 == 0 && text.size() > 1 && text.back() == '\n') text.pop_back();
    return text;
}

// The same edit through the library; false when the library refuses it.
bool library_edit(KXCF_FILE* f, const std::vector<std::string>& edit) {
    const std::string& command = edit[0];
    const std::size_t slash = edit[1].find('/');
    const std::string section = edit[1].substr(0, slash);
    const std::string sub = slash == std::string::npos ? "" : edit[1].substr(slash + 1);
    const char* subsection = sub.empty() ? nullptr : sub.c_str();
    if (command == "unset") return kxcf_delvar_inst(f, section.c_str(), subsection, edit[2].c_str(), 1) == 0;
    if (command == "delete") {
        int removed = 0;
        while ((subsection ? kxcf_delsubsection(f, section.c_str(), subsection) : kxcf_delsection(f, section.c_str())) == 0)
            ++removed;
        return removed > 0;
    }
    for (;;) {
        if (kxcf_setvar_inst(f, section.c_str(), subsection, edit[2].c_str(), edit[3].c_str(), 1) == 0) return true;
        if (kx_errno == KXCF_ENOSECTION) kxcf_setsection(f, section.c_str());
        if (subsection && (kx_errno == KXCF_ENOSUBSECTION || kx_errno == KXCF_ENOSECTION))
            kxcf_setsubsection(f, section.c_str(), subsection);
        else if (kx_errno != KXCF_ENOSECTION) return false;
    }
}

TEST(KxconfValues, EditsOfHandWrittenFilesChangeOnlyTheirLinesAndReadBackAsTheLibrarysOwnEdit) {
    kxtest::TempTree tree;
    const std::string mine = tree.file("mine.cfg"), theirs = tree.file("theirs.cfg");
    std::mt19937 rng(20261207);
    auto pick = [&rng](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
    for (int round = 0; round < 150; ++round) {
        const std::string original = hand_written(rng);
        const std::string place = pick({"server", "SERVER", "db", "net.main", "new"}) +
                                  pick({"", "", "/sub", "/s2", "/other"});
        std::vector<std::string> edit;
        switch (rng() % 4) {
        case 0: edit = {"unset", place, pick({"port", "host", "x.Y"})}; break;
        case 1: edit = {"delete", place}; break;
        default: edit = {"set", place, pick({"port", "Host", "new_kw"}), pick({"1", "8080", "v w", "x#y"})};
        }
        kxtest::write_file(mine, original);
        kxtest::write_file(theirs, original);
        std::vector<std::string> args{kxtest::program_path("kxconf"), "-f", mine};
        args.insert(args.end(), edit.begin(), edit.end());
        const kxtest::RunResult r = kxtest::run_program(args);
        const std::string context = "round " + std::to_string(round) + ": " + args[3] + " " + edit[1] + "\n" + original;

        KXCF_FILE* f = kxcf_open(theirs.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
        ASSERT_NE(f, nullptr) << context;
        const bool library_did = library_edit(f, edit);
        const std::string result = kxtest::read_file(mine);
        if (r.status != 0) {
            EXPECT_FALSE(library_did && r.status == 1) << context << r.err;
            EXPECT_EQ(result, original) << context;
            kxcf_close(f);  // may write; only kxconf's file is compared
            continue;
        }
        ASSERT_EQ(kxcf_close(f), 0) << context;
        EXPECT_EQ(listed(mine), listed(theirs)) << context << "\n---\n" << result;
        const std::vector<std::string> before = lines_of(original), after = lines_of(result);
        const std::size_t kept = common_lines(before, after);
        if (edit[0] == "set") {
            EXPECT_GE(kept + 1, before.size()) << context << result;   // at most the one line set
            EXPECT_LE(after.size() - kept, 5u) << context << result;   // blank, [section], blank, (sub), line
        } else {
            EXPECT_EQ(kept, after.size()) << context << result;        // lines removed, nothing else
        }
    }
}

TEST(KxconfValues, AnEditThatChangesNothingWritesNothingAndDryRunShowsTheDiff) {
    Kx kx("[Server]\nport=8080\nHost\t=\tExample.ORG\n  indented = 1  \nempty =\n");
    struct stat before {}, after {};
    ASSERT_EQ(::stat(kx.file.c_str(), &before), 0);
    ::sleep(1);
    for (const std::vector<std::string>& same : std::vector<std::vector<std::string>>{
             {"set", "server", "port", "8080", "--verbose"}, {"set", "server", "EMPTY", ""},
             {"rename", "Server", "SERVER"}, {"set", "server", "indented", "1", "--dry-run"}}) {
        const kxtest::RunResult r = kx(same);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << same[0];
    }
    EXPECT_EQ(kx({"set", "server", "port", "8080", "--verbose"}).err, "unchanged: set server port\n");
    // What list prints as JSON, applied: nothing to change here, the same list in a new file.
    const std::string json = out_of(kx({"list", "--format", "json", "--raw"}));
    const std::string copy = kx.tree.file("copy.cfg");
    for (const std::string& target : {kx.file, copy})
        EXPECT_EQ(kxtest::run_program({kxtest::program_path("kxconf"), "-f", target, "apply", "--format", "json"}, {},
                                      "", json).status, 0);
    EXPECT_EQ(out_of(kxtest::run_program({kxtest::program_path("kxconf"), "-f", copy, "list", "--format", "json",
                                          "--raw"})), json);
    ASSERT_EQ(::stat(kx.file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // Later edits find the section under the name an earlier one gave it.
    const std::string edits = "# four edits, one lock\nset server port 9090\nrename server web\n"
                              "set web host 'example.org'\nset web indented 2\n";
    const kxtest::RunResult dry = kxtest::run_program(
        {kxtest::program_path("kxconf"), "-f", kx.file, "apply", "-", "--dry-run", "--verbose"}, {}, "", edits);
    // A line set keeps its indentation.
    EXPECT_EQ(kxtest::rooted(dry.out + dry.err, kx.tree.path()), kxtest::expected_output("e2e/kxconf_dry_run.out"));
    EXPECT_EQ(kxtest::read_file(kx.file), "[Server]\nport=8080\nHost\t=\tExample.ORG\n  indented = 1  \nempty =\n");
    const std::string diff = kx.tree.file("diff");
    kxtest::write_file(diff, dry.out);
    const std::string patched = kx.tree.file("patched");
    ASSERT_EQ(kxtest::run_program({"cp", kx.file, patched}).status, 0);
    ASSERT_EQ(kxtest::run_program({"patch", "-s", patched, diff}).status, 0);
    ASSERT_EQ(kxtest::run_program({kxtest::program_path("kxconf"), "-f", kx.file, "apply", "-"}, {}, "", edits).status, 0);
    EXPECT_EQ(kxtest::read_file(kx.file), kxtest::read_file(patched));
}

TEST(KxconfValues, ListPrintsTextJsonAndShellThatParseBack) {
    Kx kx;  // its text listing is with the reads
    ASSERT_EQ(kx({"set", "odd", "v", "ctl\x01\x1f \"q\" \\ caf\xc3\xa9 bad\xff"}).status, 0);
    const nlohmann::json doc = nlohmann::json::parse(out_of(kx({"list", "--format", "json", "--raw"})));
    const nlohmann::json expected = nlohmann::json::parse(R"({"sections": [
        {"name": "system", "keywords": {"admin": ["root"], "mirror": ["north", "south"]},
         "subsections": [{"name": "path_expand", "keywords": {"base": ["/opt/kx"]}}]},
        {"name": "files", "keywords": {"log_dir": ["$base/log"]},
         "subsections": [{"name": "queue", "keywords": {"path": ["q1"]}}]},
        {"name": "files", "keywords": {},
         "subsections": [{"name": "queue", "keywords": {"path": ["second"], "other": ["x"]}}]},
        {"name": "odd", "keywords": {"v": ["ctl\u0001\u001f \"q\" \\ caf\u00e9 bad\ufffd"]},
         "subsections": []}]})");
    EXPECT_EQ(doc, expected) << doc.dump(1);

    // Every value comes back unchanged through the shell.
    ASSERT_EQ(kx({"set", "shell", "q", "it's $(echo no) `x` \"$HOME\""}).status, 0);
    ASSERT_EQ(kx({"set", "shell", "list.2", "a", "--add"}).status, 0);
    ASSERT_EQ(kx({"set", "shell", "list.2", "b c", "--add"}).status, 0);
    const std::string sh = out_of(kx({"list", "shell", "--format", "sh"}));
    EXPECT_EQ(sh, "q='it'\\''s $(echo no) `x` \"$HOME\"'\nlist_2='a\nb c'\n");
    EXPECT_EQ(kxtest::run_program({"sh", "-c", sh + "printf '%s|%s' \"$q\" \"$list_2\""}).out,
              "it's $(echo no) `x` \"$HOME\"|a\nb c");
    EXPECT_THAT(out_of(kx({"list", "--format", "sh"})), HasSubstr("system_path_expand_base='/opt/kx'\n"));

    // Names that would meet in one shell variable are refused, not merged.
    ASSERT_EQ(kx({"set", "shell", "list_2", "z"}).status, 0);
    EXPECT_THAT(kx({"list", "shell", "--format", "sh"}), Fails(2, "list_2"));
}

TEST(KxconfValues, BashCompletionOffersCommandsOptionsAndTheFilesNames) {
    Kx kx;
    // What the function SCRIPT defines for the first of WORDS offers for the last.
    auto complete = [](const std::string& script, const std::string& words) {
        const std::string line = "source '" KX_SOURCE_DIR "/tools/completion/" + script + "'; COMP_WORDS=(" + words +
                                 "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _${COMP_WORDS[0]}; echo \"${COMPREPLY[*]}\"";
        return kxtest::run_program({"bash", "-c", line}, {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}}).out;
    };
    const std::string on_file = "kxconf -f '" + kx.file + "' ";
    EXPECT_EQ(complete("kxconf.bash", on_file + "un"), "unset\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "get ''"), "system files\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "get files/"), "files/queue\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "list --f"), "--format\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "list --format ''"), "text json sh\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "get system m"), "mirror\n");
    EXPECT_EQ(complete("kxconf.bash", on_file + "set files/queue ''"), "other path\n");
    EXPECT_EQ(complete("config_upgrade.bash", "config_upgrade -d ''"), "1 2 3\n");
    EXPECT_EQ(complete("config_upgrade.bash", "config_check -c '" + kx.file + "' -"), "-c -s -z -h --help --version\n");
    EXPECT_EQ(complete("config_upgrade.bash", "config_check -c '" + kx.file.substr(0, kx.file.size() - 2) + "'"),
              kx.file + "\n");
}

TEST(KxconfValues, TheDefaultFileIsTheSuitesMainConfiguration) {
    kxtest::TempTree tree;
    const std::string main = tree.write_main_config("[system]\nkestrix_version = v5.0.0\n");
    const std::string kxconf = kxtest::program_path("kxconf");
    EXPECT_EQ(kxtest::run_program({kxconf, "get", "system", "kestrix_version"}).out, "v5.0.0\n");
    EXPECT_EQ(kxtest::run_program({kxconf, "set", "system", "admin", "ops"}).status, 0);
    EXPECT_EQ(kxtest::read_file(main), "[system]\nkestrix_version = v5.0.0\nadmin = ops\n");
    EXPECT_THAT(kxtest::run_program({kxconf, "get", "system", "admin"}, {{"KESTRIX_HOME", tree.path() + "/none"}}),
                Fails(4, "cannot open " + tree.path() + "/none/qzt/etc/qzt_config: "));
    EXPECT_THAT(kxtest::run_program({kxconf, "get", "system", "admin"}, {{"KESTRIX_HOME", ""}, {"HOME", ""}}),
                Fails(4, "give the file with -f FILE or set KESTRIX_HOME"));
}

TEST(KxconfSafety, EveryFailedCommandLeavesTheFileByteIdentical) {
    Kx kx(kCached);
    // Says MESSAGE with STATUS, after "kxconf: " and the file's name when a name is missing.
    auto fails = [&kx](const std::vector<std::string>& args, int status, const std::string& message) {
        kxtest::RunResult r = kx(args);
        const std::string said = testing::PrintToString(args);
        EXPECT_THAT(r, Fails(status, message)) << said;
        EXPECT_EQ(r.err.rfind(status == 1 ? "kxconf: " + kx.file + ": " : "kxconf: ", 0), 0u) << r.err;
        if (status != 5) {  // a failed verify still prints the checksum it computed
            EXPECT_EQ(r.out, "") << said;
        }
        EXPECT_EQ(kx.text(), kCached) << said;
    };
    // Also values the file cannot give back as they were set.
    expect_transcript(kx, "kxconf_refused");
    fails({"cksum", "system/cache", "--verify"}, 5, "no checksum stored");
    // A FIFO is refused at once, named.
    ASSERT_EQ(::mkfifo((kx.file + ".fifo").c_str(), 0600), 0);
    EXPECT_THAT(kxtest::run_program({kxtest::program_path("kxconf"), "-f", kx.file + ".fifo", "set", "s", "k", "v"}),
                Fails(4, "kxconf: cannot open " + kx.file + ".fifo: not a regular file\n"));
    // All or nothing: an edit that cannot be made leaves the file as it was.
    const std::string edits = kx.tree.file("edits");
    kxtest::write_file(edits, "set system admin x\nunset nosuch k\nset system b y\n");
    fails({"apply", edits}, 1, "kxconf: " + kx.file + ": nosuch k: Section not found\n");
    kxtest::write_file(edits, "set system admin x\nset system 'unclosed\n");
    fails({"apply", edits}, 2, "kxconf: " + edits + ":2: a quote is not closed\n");
    kxtest::write_file(edits, "set system admin x\nget system admin --help\n");
    fails({"apply", edits}, 2, "kxconf: " + edits + ":2: --help is not an option of an edit");
    // A write that fails: a file size limit (as root, a read-only directory would not stop it).
    kxtest::RunResult too_large = kxtest::run_program({"sh", "-c", "trap '' XFSZ; ulimit -f 1; exec '" +
                                                       kxtest::program_path("kxconf") + "' -f '" + kx.file +
                                                       "' set system/new k " + std::string(1100, 'v')});
    EXPECT_THAT(too_large, Fails(4, "kxconf: cannot write " + kx.file + ": File too large\n"));
    EXPECT_EQ(kx.text(), kCached);
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
    Kx kx(kCached);
    KXCF_FILE* holder = kxcf_open(kx.file.c_str(), KXCF_UPDATE);
    ASSERT_NE(holder, nullptr) << kx_errno;
    EXPECT_THAT(kx({"set", "system", "admin", "x"}),
                Fails(4, "kxconf: cannot lock " + kx.file + ": " + kx.file +
                             ".lck: Another process owns lock for writing (--wait SECONDS waits for it)\n"));
    EXPECT_EQ(kx.text(), kCached);
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
    Kx kx(kCached);
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
    Kx kx(kCached);
    kxtest::RunResult r = kx({"cksum", "system/cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sum = r.out;
    EXPECT_THAT(sum, testing::MatchesRegex("[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+\n"));
    const std::string stored = std::string(kCached) + "cksum_cache = " + sum;
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

}  // namespace
