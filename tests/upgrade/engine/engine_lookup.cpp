// Where the engine finds a previous keyword in the new file: by name and
// value anywhere in a list, or inside one keyword set; and how the list
// follows the writes made to the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "upgrade_engine.h"
#include "kx_test_support.h"

namespace {

using namespace kxtest;

void expect_location(KW_LOCATION got, int instance, int line, int value_match) {
    EXPECT_EQ(got.instance, instance);
    EXPECT_EQ(got.line, line);
    EXPECT_EQ(got.value_match, value_match);
}

UPGRADE_RULE* add_rule(UPGRADE_RULE** rules, const char* name, int flags) {
    UPGRADE_RULE* rule = append_name_list(strdup(name), rules);
    rule->flags = flags;
    return rule;
}

TEST(EngineLookup, FindsKeywordsAnywhereAndInsideSetsAndFollowsWrites) {
    TempTree tree;
    const std::string path = tree.file("cfg");
    write_file(path, "[s]\nhost = a\nport = 1\nhost = b\nhost = c\n"
                     "name = x\nmember = 1\nname = y\nother = 2\n");
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
    ASSERT_NE(f, nullptr);
    build_new_kw_list(f, "s", nullptr);

    ERROR_CONTEXT context = {"s", nullptr, "host", "z", 0};
    expect_location(locate_keyword_in_new(f, &context, nullptr), 3, 4, 0);  // the last instance
    context.value = "b";
    expect_location(locate_keyword_in_new(f, &context, nullptr), 2, 3, 1);
    context.keyword = "absent";
    expect_location(locate_keyword_in_new(f, &context, nullptr), 0, 0, 0);

    UPGRADE_RULE* rules = nullptr;
    UPGRADE_RULE* start = add_rule(&rules, "name", RULE_CUSTOM | RULE_START);
    add_rule(&rules, "member", RULE_CUSTOM | RULE_SET);
    UPGRADE_RULE* port_rule = add_rule(&rules, "port", RULE_CUSTOM);
    KW_SET set = {"name", 1, 5, 1, start, nullptr};
    context = {"s", nullptr, "member", "2", 0};
    expect_location(locate_keyword_in_new(f, &context, &set), 1, 6, 0);
    context.keyword = "extra";  // missing from the set: goes after its last line
    expect_location(locate_keyword_in_new(f, &context, &set), 0, 6, 0);
    set.instance = 2;  // the second set has no member line; "other" is not in it
    context.keyword = "member";
    expect_location(locate_keyword_in_new(f, &context, &set), 0, 7, 0);
    set.instance = 3;
    expect_location(locate_keyword_in_new(f, &context, &set), 0, 0, 0);

    // A changed value is seen by the next lookup; an added line too.
    upgrade_inputs.new_config_file = const_cast<char*>(path.c_str());
    NAME_LIST* prev = nullptr;
    NAME_LIST* port = append_name_list(strdup("port"), &prev);
    port->text = strdup("9");
    context = {"s", nullptr, "port", port->text, 0};
    upgrade_keyword(f, port, port_rule, &context, nullptr);
    expect_location(locate_keyword_in_new(f, &context, nullptr), 1, 2, 1);
    port_rule->flags |= RULE_MULTIPLE;
    std::free(port->text);
    port->text = strdup("10");
    context.value = port->text;
    upgrade_keyword(f, port, port_rule, &context, nullptr);
    expect_location(locate_keyword_in_new(f, &context, nullptr), 2, 9, 1);
    context = {"s", nullptr, "other", "2", 0};
    expect_location(locate_keyword_in_new(f, &context, nullptr), 1, 8, 1);

    free_name_list(prev);
    free_name_list(rules);
    EXPECT_EQ(kxcf_close(f), 0);
    upgrade_inputs.new_config_file = nullptr;
}

}  // namespace
