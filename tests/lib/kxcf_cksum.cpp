// The checksum keyword of a subsection.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;

// The stored form of an MD5 digest given in hexadecimal: four little-endian
// 32-bit numbers.
std::string stored_form(const std::string& hex) {
    std::string out;
    for (int w = 0; w < 4; ++w) {
        unsigned long v = 0;
        for (int b = 3; b >= 0; --b)
            v = v << 8 | std::stoul(hex.substr(8 * w + 2 * b, 2), nullptr, 16);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%lx", v);
        out += (w ? "," : "") + std::string(buf);
    }
    return out;
}

struct Checked {
    int result;
    std::string file;
};

// Writes TEXT, checksums subsection (sub) of [s] in immediate mode and
// returns the result with the file as left on disk.
Checked checksum_of(const TempTree& tree, const std::string& text) {
    std::string path = tree.file("k.cfg");
    write_file(path, text);
    KXCF_FILE* f = kxcf_open(path.c_str(), 0);
    if (!f) return {-2, ""};
    int rc = kxcf_cksum(f, "s", "sub", "Data");
    kxcf_close(f);
    return {rc, read_file(path)};
}

TEST(KxcfCksum, DigestFollowsRfc1321) {
    // Keyword lines whose names and values make the message, and its digest.
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a\n", "0cc175b9c0f1b6a831c399e269772661"},
        {"a\nbc\n", "900150983cd24fb0d6963f7d28e17f72"},
        {"m = essage digest\n", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz\n", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"1234567890 = 1234567890123456789012345678901234567890123456789012345678901234567890\n",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    TempTree tree;
    for (const auto& [lines, md5] : vectors) {
        Checked r = checksum_of(tree, "[s]\n(sub)\n" + lines);
        EXPECT_EQ(r.result, 1) << md5;
        EXPECT_EQ(r.file, "[s]\n(sub)\n" + lines + "cksum_data = " + stored_form(md5) + "\n");
    }
    EXPECT_EQ(stored_form("0cc175b9c0f1b6a831c399e269772661"), "b975c10c,a8b6f1c0,e299c331,61267769");
}

TEST(KxcfCksum, OnlyKeywordLinesOfTheSubsectionCount) {
    TempTree tree;
    const std::string head = "[s]\nown = not digested\n(sub)\n";
    Checked first = checksum_of(tree, head + "k1 = a\n# note\nk2 = b\n");
    ASSERT_EQ(first.result, 1);
    const std::string stored = first.file.substr(first.file.find("cksum_data = "));
    // Comments, other checksum keywords and the section's own lines leave it alone.
    EXPECT_EQ(checksum_of(tree, "# new\n[s]\nown = other\n(sub)\ncksum_x = 1,2,3,4\nk1 = a\n" +
                                    stored + "k2 = b\n# more\n(next)\nz = 1\n")
                  .result,
              0);
    // A changed value, keyword name, order or number of lines is noticed.
    for (const char* body : {"k1 = A\nk2 = b\n", "k1 = a\nk3 = b\n", "k2 = b\nk1 = a\n",
                             "k1 = a\nk2 = b\nk3\n"}) {
        Checked r = checksum_of(tree, head + body + stored);
        EXPECT_EQ(r.result, 1) << body;
        EXPECT_EQ(r.file.find(stored), std::string::npos) << body;
        EXPECT_EQ(checksum_of(tree, r.file).result, 0) << body;
    }
    // Three numbers are read with the fourth taken as 0; not matching here,
    // the checksum is rewritten with four.
    std::string three = stored.substr(13, stored.rfind(',') - 13);
    Checked r = checksum_of(tree, head + "k1 = a\nk2 = b\ncksum_data = " + three + "\n");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.file, head + "k1 = a\nk2 = b\n" + stored);
}

TEST(KxcfCksum, UpdateModeExpansionAndFailures) {
    TempTree tree;
    std::string path = tree.file("u.cfg");
    write_file(path, "[s]\n(sub)\nk = $KESTRIX_HOME\n");
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    const std::string name(40, 'N'), keyword = "cksum_" + std::string(34, 'n');
    EXPECT_EQ(kxcf_cksum(f, "S", "SUB", name.c_str()), 1);
    EXPECT_EQ(kxcf_cksum(f, "s", "sub", name.c_str()), 0);
    std::string expanded_sum = kxcf_getvar(f, "s", "sub", keyword.c_str(), 0);

    // The digest takes values as the handle reads them: unexpanded here.
    KXCF_FILE* raw = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(kxcf_cksum(raw, "s", "sub", "x"), -1);  // the update handle holds the lock
    EXPECT_EQ(kx_errno, KXCF_ELOCKED);
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(kxcf_cksum(raw, "s", "sub", name.c_str()), 1);
    EXPECT_STRNE(kxcf_getvar(raw, "s", "sub", keyword.c_str(), 0), expanded_sum.c_str());

    EXPECT_EQ(kxcf_cksum(raw, "s", nullptr, "x"), -1);
    EXPECT_EQ(kx_errno, KXCF_EPARAM);
    EXPECT_EQ(kxcf_cksum(raw, "s", "sub", "a b"), -1);
    EXPECT_EQ(kx_errno, KXCF_EPARAM);
    EXPECT_EQ(kxcf_cksum(raw, "s", "other", "x"), -1);
    EXPECT_EQ(kx_errno, KXCF_ENOSUBSECTION);
    EXPECT_EQ(kxcf_close(raw), 0);
}

}  // namespace
