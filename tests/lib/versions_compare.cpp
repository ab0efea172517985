// Parsing and comparing product version texts.
#include "kx_versions.h"

#include <gtest/gtest.h>

namespace {

struct Parsed {
    int rc;
    int major;
    int minor;
    int patch;
};

Parsed parse(const char* text) {
    KX_VERSION v{-7, -7, -7};
    int rc = kx_parse_version(text, &v);
    return {rc, v.major, v.minor, v.patch};
}

void expect_parsed(const char* text, int rc, int major, int minor, int patch) {
    Parsed p = parse(text);
    SCOPED_TRACE(text ? text : "(null)");
    EXPECT_EQ(p.rc, rc);
    EXPECT_EQ(p.major, major);
    EXPECT_EQ(p.minor, minor);
    EXPECT_EQ(p.patch, patch);
}

TEST(Versions, ParseAcceptsTwoOrThreeFieldsAfterALowerCaseV) {
    expect_parsed("v4.0.1", 0, 4, 0, 1);
    expect_parsed("v1.0", 0, 1, 0, 0);
    expect_parsed("v4.0.1-beta", 0, 4, 0, 1);
    expect_parsed("v 4. 0", 0, 4, 0, 0);      // %d skips blanks
    expect_parsed("v4.0.", 0, 4, 0, 0);       // a third field is optional
    expect_parsed("v4.0.x", 0, 4, 0, 0);
    expect_parsed("v-1.+2.3", 0, -1, 2, 3);   // signed, as %d reads them
    expect_parsed("v2147483647.0", 0, 2147483647, 0, 0);
}

TEST(Versions, ParseRejectsOtherShapesAndKeepsWhatWasRead) {
    expect_parsed("v4", -1, 4, 0, 0);         // the major stays in the triple
    expect_parsed("v4-0", -1, 4, 0, 0);
    expect_parsed("V4.0.1", -1, 0, 0, 0);
    expect_parsed(" v4.0.1", -1, 0, 0, 0);
    expect_parsed("4.0.1", -1, 0, 0, 0);
    expect_parsed("None", -1, 0, 0, 0);
    expect_parsed("", -1, 0, 0, 0);
    expect_parsed(nullptr, -1, 0, 0, 0);
    expect_parsed("v4 .0", -1, 4, 0, 0);      // no blank allowed before a point
    // Numbers that do not fit an int are refused rather than wrapped.
    expect_parsed("v2147483648.0", -1, 0, 0, 0);
    expect_parsed("v4.0.99999999999999999999", -1, 4, 0, 0);
    EXPECT_EQ(kx_parse_version("v1.2", nullptr), 0);
}

TEST(Versions, CompareOrdersFieldByField) {
    EXPECT_EQ(kx_compare_versions("v4.0.0", "v4.0"), 1);
    EXPECT_EQ(kx_compare_versions("v4.0.1", "v4.0.2"), 0);
    EXPECT_EQ(kx_compare_versions("v4.1.0", "v4.0.9"), 2);
    EXPECT_EQ(kx_compare_versions("v4.0.9", "v4.1"), 0);
    EXPECT_EQ(kx_compare_versions("v5.0", "v4.9.9"), 2);
    EXPECT_EQ(kx_compare_versions("v10.0", "v9.0"), 2);   // numeric, not textual
    EXPECT_EQ(kx_compare_versions("v3.0", "v4.0"), 0);    // no mapping for 3
}

TEST(Versions, CompareMapsMajorTwoToFourInOneDirectionOnly) {
    EXPECT_EQ(kx_compare_versions("v2.0.1", "v4.0.1"), 1);
    EXPECT_EQ(kx_compare_versions("v2.0.0", "v4.0.1"), 0);
    EXPECT_EQ(kx_compare_versions("v2.1", "v4.0.5"), 2);
    EXPECT_EQ(kx_compare_versions("v4.0.1", "v2.0.1"), -1);
    EXPECT_EQ(kx_compare_versions("v2.0", "v2.1"), 0);
    EXPECT_EQ(kx_compare_versions("v4.0", "v4.0"), 1);
}

TEST(Versions, CompareHandlesNullAndInvalidTexts) {
    EXPECT_EQ(kx_compare_versions(nullptr, nullptr), 1);
    EXPECT_EQ(kx_compare_versions(nullptr, "v1.0"), 0);
    EXPECT_EQ(kx_compare_versions("v1.0", nullptr), 2);
    EXPECT_EQ(kx_compare_versions(nullptr, "None"), 0);   // null wins over parsing
    EXPECT_EQ(kx_compare_versions("None", "v4.0"), -1);
    EXPECT_EQ(kx_compare_versions("v4.0", "None"), -1);
    EXPECT_EQ(kx_compare_versions("v4", "v4.0"), -1);
}

}  // namespace
