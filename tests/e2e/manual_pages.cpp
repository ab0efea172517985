// Every manual page in doc/ renders without a warning, as `man -l` shows it.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "kx_test_support.h"

namespace {

TEST(ManualPages, RenderWithoutWarnings) {
    const std::regex page(R"(.*\.[1-8])");
    int pages = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(KX_SOURCE_DIR) + "/doc")) {
        const std::string path = entry.path().string();
        if (!std::regex_match(path, page)) continue;
        ++pages;
        auto r = kxtest::run_program({"groff", "-ww", "-z", "-man", path});
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.err, "") << path;
    }
    EXPECT_GE(pages, 4);
}

}  // namespace
