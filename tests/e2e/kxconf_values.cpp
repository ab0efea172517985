// kxconf driven as a script drives it: reading, listing and changing values
// of a file with subsections and repeated keywords, and the exact bytes a
// value keeps on its way through set and get.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <random>

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

// The run ended with STATUS and said TEXT on standard error.
MATCHER_P2(Fails, status, text, "") {
    *result_listener << "status " << arg.status << ", stderr: " << arg.err;
    return arg.status == status && arg.err.find(text) != std::string::npos;
}

std::string out_of(const kxtest::RunResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(KxconfValues, GetAndListReadInstancesSubsectionsExpansionAndPrintFormatsThatParseBack) {
    Kx kx;
    EXPECT_EQ(out_of(kx({"get", "system", "admin"})), "root\n");
    EXPECT_EQ(out_of(kx({"get", "SYSTEM", "Mirror"})), "north\n");
    EXPECT_EQ(out_of(kx({"get", "system", "mirror", "--instance", "2"})), "south\n");
    EXPECT_EQ(out_of(kx({"get", "system", "mirror", "--all"})), "north\nsouth\n");
    EXPECT_EQ(out_of(kx({"get", "files", "log_dir"})), "/opt/kx/log\n");
    EXPECT_EQ(out_of(kx({"get", "files", "log_dir", "--raw"})), "$base/log\n");
    // The first subsection of that name holding the keyword, across sections.
    EXPECT_EQ(out_of(kx({"get", "files/queue", "path"})), "q1\n");
    EXPECT_EQ(out_of(kx({"get", "files/queue", "other"})), "x\n");
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
    EXPECT_EQ(kx.text(),
              "# site settings\n"
              "[System]\nadmin\nmirror = north\nmirror = east\nmirror = west\n"
              "(path_expand)\nbase = /opt/kx\n"
              "[files]\n(queue)\ndepth = 4\n\n"   // the blank line of a subsection made and deleted
              "[files]\n(queue)\npath = second\nother = x\n"
              "\n[network]\n\n(main)\nhost = h1\n\n(backup)\nhost = h2\n\n");

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

// A tree in the library's written form.
void written(const KXCF_NODE* n, std::string& out) {
    for (; n; n = n->next) {
        if (n->text) out += std::string(n->text) + "\n";
        if (n->kind == KXCF_NODE_LINE) {
            if (!n->text) out += std::string(n->name) + (n->u.value ? std::string(" = ") + n->u.value : "") + "\n";
            continue;
        }
        if (n->name) out += (n->kind == KXCF_NODE_SECTION ? "[" : "(") + std::string(n->name) +
                            (n->kind == KXCF_NODE_SECTION ? "]\n" : ")\n");
        written(n->u.lines, out);
        written(n->subsections, out);
    }
}

std::string tree_of(const std::string& path) {
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    if (!f) return "unreadable: " + std::to_string(kx_errno);
    std::string out;
    written(f->root, out);
    kxcf_close(f);
    return out;
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
        EXPECT_EQ(tree_of(mine), tree_of(theirs)) << context << "\n---\n" << result;
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

    const std::string edits = "# two edits, one lock\nset server port 9090\nset server host 'example.org'\n";
    const kxtest::RunResult dry = kxtest::run_program(
        {kxtest::program_path("kxconf"), "-f", kx.file, "apply", "-", "--dry-run", "--verbose"}, {}, "", edits);
    EXPECT_EQ(dry.out, "--- " + kx.file + "\n+++ " + kx.file + "\n@@ -1,5 +1,5 @@\n [Server]\n-port=8080\n"
                       "-Host\t=\tExample.ORG\n+port = 9090\n+Host = example.org\n   indented = 1  \n empty =\n");
    EXPECT_EQ(dry.err, "changed: set server port\nchanged: set server host\n");
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
    Kx kx;
    EXPECT_EQ(out_of(kx({"list", "system"})),
              "system admin = root\nsystem mirror = north\nsystem mirror = south\n"
              "system/path_expand base = /opt/kx\n");
    EXPECT_EQ(out_of(kx({"list", "files/queue", "--raw"})),
              "files/queue path = q1\nfiles/queue path = second\nfiles/queue other = x\n");
    EXPECT_EQ(out_of(kx({"sections"})), "system\nfiles\n");
    EXPECT_EQ(out_of(kx({"sections", "files"})), "queue\n");

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
    const std::string script = std::string(KX_SOURCE_DIR) + "/tools/completion/kxconf.bash";
    auto complete = [&](const std::string& words) {
        const std::string line = "source '" + script + "'; COMP_WORDS=(kxconf -f '" + kx.file + "' " + words +
                                 "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kxconf; echo \"${COMPREPLY[*]}\"";
        return kxtest::run_program({"bash", "-c", line}, {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}}).out;
    };
    EXPECT_EQ(complete("un"), "unset\n");
    EXPECT_EQ(complete("get ''"), "system files\n");
    EXPECT_EQ(complete("get files/"), "files/queue\n");
    EXPECT_EQ(complete("list --f"), "--format\n");
    EXPECT_EQ(complete("list --format ''"), "text json sh\n");
    EXPECT_EQ(complete("get system m"), "mirror\n");
    EXPECT_EQ(complete("set files/queue ''"), "other path\n");
    const std::string others = std::string(KX_SOURCE_DIR) + "/tools/completion/config_upgrade.bash";
    auto complete_other = [&](const std::string& words) {
        const std::string line = "source '" + others + "'; COMP_WORDS=(" + words +
                                 "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _${COMP_WORDS[0]}; echo \"${COMPREPLY[*]}\"";
        return kxtest::run_program({"bash", "-c", line}).out;
    };
    EXPECT_EQ(complete_other("config_upgrade -d ''"), "1 2 3\n");
    EXPECT_EQ(complete_other("config_check -c '" + kx.file + "' -"), "-c -s -z -h --help --version\n");
    EXPECT_EQ(complete_other("config_check -c '" + kx.file.substr(0, kx.file.size() - 2) + "'"), kx.file + "\n");
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

}  // namespace
