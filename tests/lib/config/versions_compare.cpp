// Parsing and comparing product version texts.
#include "kx_versions.h"
#include "kx_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

namespace {

TEST(Versions, ParseReadsVAndTwoOrThreeFieldsKeepingWhatWasRead) {
    struct Case { const char* text; int rc, major, minor, patch; };
    const Case cases[] = {
        {"v4.0.1", 0, 4, 0, 1},   {"v1.0", 0, 1, 0, 0},       {"v4.0.1-beta", 0, 4, 0, 1},
        {"v 4. 0", 0, 4, 0, 0},   {"v4.0.x", 0, 4, 0, 0},     {"v-1.+2.3", 0, -1, 2, 3},
        {"v4", -1, 4, 0, 0},      {"v4 .0", -1, 4, 0, 0},     {"V4.0.1", -1, 0, 0, 0},
        {" v4.0", -1, 0, 0, 0},   {"4.0.1", -1, 0, 0, 0},     {"", -1, 0, 0, 0},
        {nullptr, -1, 0, 0, 0},   {"v2147483647.0", 0, 2147483647, 0, 0},
        // Numbers that do not fit an int are refused, never wrapped.
        {"v2147483648.0", -1, 0, 0, 0}, {"v4.0.99999999999", -1, 4, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        KX_VERSION v{-7, -7, -7};
        const int rc = kx_parse_version(c.text, &v);
        EXPECT_EQ(std::tie(rc, v.major, v.minor, v.patch), std::tie(c.rc, c.major, c.minor, c.patch));
    }
}

TEST(Versions, CompareFieldByFieldWithMajorTwoReadAsFourOnlyWhenFirst) {
    struct Case { const char* first; const char* second; int result; };
    const Case cases[] = {
        {"v4.0.0", "v4.0", 1},    {"v4.0.1", "v4.0.2", 0},  {"v4.1.0", "v4.0.9", 2},
        {"v10.0", "v9.0", 2},     {"v3.0", "v4.0", 0},      {"v2.0.1", "v4.0.1", 1},
        {"v2.0.0", "v4.0.1", 0},  {"v2.1", "v4.0.5", 2},    {"v4.0.1", "v2.0.1", -1},
        {"v2.0", "v2.1", 0},      {nullptr, nullptr, 1},    {nullptr, "v1.0", 0},
        {"v1.0", nullptr, 2},     {nullptr, "None", 0},     {"None", "v4.0", -1},
        {"v4.0", "v4", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first ? c.first : "(null)") + " " + (c.second ? c.second : "(null)"));
        EXPECT_EQ(kx_compare_versions(c.first, c.second), c.result);
    }
}

TEST(Versions, ConfigVersionIsACopyOfTheSystemKeyword) {
    kxtest::TempTree tree;
    std::string path = tree.write_main_config("[system]\nkestrix_version = v4.0.1\n");
    char* version = kx_get_config_version(path.c_str());
    EXPECT_STREQ(version, "v4.0.1");
    std::free(version);
    kxtest::write_file(path, "[system]\nadmin = root\n");
    EXPECT_EQ(kx_get_config_version(path.c_str()), nullptr);
    EXPECT_EQ(kx_get_config_version((tree.path() + "/none").c_str()), nullptr);
}

}  // namespace
