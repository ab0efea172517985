// The error texts against the table of texts kept beside this test, and
// the numbers that must have no text.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "kx_errno.h"

namespace {

const char* const kEnd = "<END> THIS MUST BE FINAL LINE OF LIST";

// Number -> text, from err_messages.expected.
std::map<int, std::string> expected_texts() {
    std::map<int, std::string> texts;
    std::ifstream in(KX_SOURCE_DIR "/tests/lib/errors/err_messages.expected");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t open = line.find('"'), close = line.rfind('"');
        texts[std::stoi(line)] = line.substr(open + 1, close - open - 1);
    }
    return texts;
}

std::string text_of(int number) {
    char* text = kx_errmsg(number);
    std::string out = text != nullptr ? text : "(null)";
    std::free(text);
    return out;
}

TEST(ErrMessages, EveryListMatchesItsTextsAndEndsWithItsEndLine) {
    const std::map<int, std::string> texts = expected_texts();
    ASSERT_EQ(texts.size(), 210u);
    std::map<int, int> last;  // base -> highest listed number
    for (const auto& [number, text] : texts) {
        EXPECT_EQ(text_of(number), text) << number;
        last[number / 1000 * 1000] = number;
    }
    ASSERT_EQ(last.size(), 7u);
    for (const auto& [base, number] : last) {
        EXPECT_EQ(text_of(number + 1), kEnd) << base;
        EXPECT_EQ(text_of(number + 2), "(null)") << base;
        EXPECT_EQ(text_of(base), "(null)") << "\"No error\" is never returned";
    }
    for (int n : {0, -1, -1000, 999, 6001, 7999, 9015, 10000})
        EXPECT_EQ(text_of(n), "(null)") << n;
}

TEST(ErrMessages, SystemNumbersTakeThePlatformTexts) {
    EXPECT_EQ(text_of(2), std::strerror(2));
    for (int n = 1; n < 1000; ++n) {  // a hole in the numbering has no text
        const std::string text = text_of(n);
        EXPECT_TRUE(text == "(null)" || (text == std::strerror(n) && text.rfind("Unknown error", 0) != 0)) << n;
    }
}

TEST(ErrMessages, EveryCallReturnsAFreshCopyAndLeavesKxErrno) {
    kx_errno = 4242;
    char *a = kx_errmsg(1003), *b = kx_errmsg(1003);
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
    a[0] = 'X';  // the copy is the caller's
    EXPECT_STREQ(b, "Configuration file not found");
    std::free(a), std::free(b);
    EXPECT_EQ(text_of(-5), "(null)");
    EXPECT_EQ(kx_errno, 4242);
}

}  // namespace
