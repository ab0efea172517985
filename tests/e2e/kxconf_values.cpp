// kxconf driven as a script drives it: reading, listing and changing values
// of a file with subsections and repeated keywords, and the exact bytes a
// value keeps on its way through set and get.
#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "kx_test_support.h"

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

}

TEST(KxconfValues, SetAddAndUnsetEditTheRightLinesCreateWhatIsMissingAndKeepAnyValue) {
    Kx kx;
    for (const std::vector<std::string>& edit : std::vector<std::vector<std::string>>{
             {"set", "system", "mirror", "east", "--instance", "2"}, {"set", "system", "mirror", "west", "--add"},
             {"set", "system", "admin", ""} /* no value */, {"set", "files/queue", "depth", "4"},
             {"set", "Network/Main", "host", "h1"}, {"set", "network/backup", "host", "h2"},
             {"unset", "files/queue", "path"}, {"unset", "files", "log_dir", "--all"}})
        EXPECT_EQ(kx(edit).status, 0) << edit[0] << " " << edit[1] << " " << edit[2];
    EXPECT_EQ(kx.text(),
              "# site settings\n"
              "[system]\nadmin\nmirror = north\nmirror = east\nmirror = west\n"
              "(path_expand)\nbase = /opt/kx\n"
              "[files]\n(queue)\ndepth = 4\n"
              "[files]\n(queue)\npath = second\nother = x\n"
              "\n[network]\n\n(main)\nhost = h1\n\n(backup)\nhost = h2\n");

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
}

}  // namespace
