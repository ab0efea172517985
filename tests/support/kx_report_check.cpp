// The decision report against its schema and against what the run left.
#include "kx_report_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <cctype>
#include <vector>

#include "kx_test_support.h"

namespace kxtest {
namespace {

using nlohmann::json;

// ---- The subset of JSON Schema the report's schema uses --------------------------

// "integer" as JSON Schema means it; the other type names are nlohmann's own.
bool has_type(const json& value, const std::string& type) {
    return type == "integer" ? value.is_number_integer() : value.type_name() == type;
}

void validate(const json& value, const json& schema, const json& root, const std::string& where) {
    if (schema.contains("$ref")) {
        const std::string ref = schema["$ref"];
        ASSERT_EQ(ref.rfind("#/$defs/", 0), 0u) << ref;
        return validate(value, root["$defs"][ref.substr(8)], root, where);
    }
    if (schema.contains("const")) {
        EXPECT_EQ(value, schema["const"]) << where;
    }
    if (schema.contains("enum")) {
        const json& options = schema["enum"];
        EXPECT_NE(std::find(options.begin(), options.end(), value), options.end()) << where << ": " << value;
    }
    if (schema.contains("type")) {
        const json types = schema["type"].is_array() ? schema["type"] : json::array({schema["type"]});
        bool any = false;
        for (const json& t : types) any = any || has_type(value, t);
        EXPECT_TRUE(any) << where << " is not " << schema["type"] << ": " << value;
        if (!any) return;
    }
    if (schema.contains("minimum") && value.is_number()) {
        EXPECT_GE(value, schema["minimum"]) << where;
    }
    if (value.is_object()) {
        for (const json& name : schema.value("required", json::array()))
            EXPECT_TRUE(value.contains(name)) << where << " lacks " << name;
        const json properties = schema.value("properties", json::object());
        for (const auto& [name, member] : value.items()) {
            if (properties.contains(name)) {
                validate(member, properties[name], root, where + "." + name);
            } else {
                EXPECT_TRUE(schema.value("additionalProperties", true)) << where << " has " << name;
            }
        }
    }
    if (value.is_array() && schema.contains("items"))
        for (std::size_t i = 0; i < value.size(); ++i)
            validate(value[i], schema["items"], root, where + "[" + std::to_string(i) + "]");
}

// ---- The files, read without the library ---------------------------------------------

std::string trimmed_lower(std::string line) {
    line.erase(0, line.find_first_not_of(" \t"));
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(read_file(path));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

// Numbers of the header lines and keyword lines, in file order.
void scan(const std::vector<std::string>& lines, std::vector<int>& headers, std::vector<int>& keywords) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string t = trimmed_lower(lines[i]);
        if (t.empty() || t[0] == '#') continue;
        (t[0] == '[' || t[0] == '(' ? headers : keywords).push_back(static_cast<int>(i + 1));
    }
}

std::string line_at(const std::vector<std::string>& lines, const json& number) {
    if (!number.is_number_integer() || number < 1 || number > static_cast<int>(lines.size())) return "";
    return trimmed_lower(lines[number.get<int>() - 1]);
}

// ---- The suite log ------------------------------------------------------------------------

int count_of(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++count;
    return count;
}

std::string context_line(const char* label, const json& name) {
    return name.is_string() ? std::string(label) + name.get<std::string>() + "\n" : "";
}

// Whether an entry of LOG says WHAT with the context lines given. An entry
// ends where the next one's header line names the program.
bool logged(const std::string& log, const std::string& what, const std::vector<std::string>& context) {
    for (std::size_t at = 0; (at = log.find(what, at)) != std::string::npos; ++at) {
        const std::size_t end = log.find(" config_upgrade\n", at);
        const std::string entry = log.substr(at, end == std::string::npos ? end : end - at);
        if (std::all_of(context.begin(), context.end(),
                        [&](const std::string& c) { return entry.find(c) != std::string::npos; }))
            return true;
    }
    return false;
}

// What the engine logs or reports for a keyword line of each fate, decided
// for the keyword itself, for its section, or for its subsection.
struct FateTexts {
    const char* fate;
    const char* keyword;
    const char* section;
    const char* subsection;
};
const FateTexts kFateTexts[] = {
    {"factory", "Upgrade rule = factory", "for entire section", "for entire subsection"},
    {"delete", "Deleting keyword", "Deleting section", "Deleting subsection"},
    {"no_rule", "has no match in Upgrade Rules file", "Section in the Previous Config File has no match",
     "Subsection in the Previous Config file has no match"},
    {"repeated", nullptr, "Section occurs more than once", "Subsection occurs more than once"},
    {"skipped", "Skipping the set", nullptr, nullptr},
};

void expect_fate_logged(const json& k, const std::string& log) {
    const std::string fate = k["fate"], description = k["description"];
    const std::string section = context_line("  Section:     ", k["section"]);
    const std::string subsection = context_line("  Subsection:  ", k["subsection"]);
    const std::string keyword = context_line("  Keyword:     ", k["keyword"]);
    const json& written = k["result"];
    if (fate == "custom" && written.is_object() && written["action"] != "unchanged") {
        EXPECT_TRUE(logged(log, "Writing keyword to New config file",
                           {section, subsection, context_line("  Keyword:     ", written["keyword"]),
                            context_line("  Value:       ", written["value"])}))
            << k;
        return;
    }
    for (const FateTexts& texts : kFateTexts) {
        if (fate != texts.fate) continue;
        const char* said = texts.keyword;
        std::vector<std::string> where = {section, subsection, keyword};
        if (description.find(" with its section") != std::string::npos) {
            said = texts.section;
            where = {section};
        } else if (description.find(" with its subsection") != std::string::npos) {
            said = texts.subsection;
            where = {subsection};
        } else if (fate == "skipped") {
            where = {section, subsection};
        } else if (description.find("member of keyword set") != std::string::npos && fate == "delete") {
            said = nullptr;  // a set dropped by its start rule leaves a debug line only
        }
        if (said) {
            EXPECT_TRUE(logged(log, said, where)) << k;
        }
    }
}

void expect_rule_at_its_line(const json& entry, const std::vector<std::string>& rules) {
    if (entry["rule"].is_null()) return;
    const std::string name = entry["rule"]["name"], text = line_at(rules, entry["rule"]["line"]);
    EXPECT_TRUE(text.rfind(name, 0) == 0 || text.rfind("[" + name, 0) == 0 || text.rfind("(" + name, 0) == 0)
        << entry << " rule line: " << text;
}

}  // namespace

json read_decision_report(const std::string& path) {
    static const json schema = json::parse(read_file(std::string(KX_SOURCE_DIR) + "/doc/upgrade_report.schema.json"));
    json report = json::parse(read_file(path), nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << path << ": not JSON";
    if (!report.is_discarded()) validate(report, schema, schema, "report");
    return report;
}

void expect_report_matches_files(const json& report, const std::string& prev, const std::string& rules,
                                 const std::string& log) {
    const std::vector<std::string> prev_lines = lines_of(prev), rules_lines = lines_of(rules);
    std::vector<int> headers, keywords;
    scan(prev_lines, headers, keywords);
    ASSERT_EQ(report["sections"].size(), headers.size());
    ASSERT_EQ(report["keywords"].size(), keywords.size());
    for (std::size_t i = 0; i < headers.size(); ++i) {
        const json& s = report["sections"][i];
        EXPECT_EQ(s["line"], headers[i]) << s;
        const json& name = s["subsection"].is_null() ? s["section"] : s["subsection"];
        EXPECT_EQ(line_at(prev_lines, s["line"]).find(name.get<std::string>()), 1u) << s;
        expect_rule_at_its_line(s, rules_lines);
    }
    for (std::size_t i = 0; i < keywords.size(); ++i) {
        const json& k = report["keywords"][i];
        EXPECT_EQ(k["line"], keywords[i]) << k;
        const std::string text = line_at(prev_lines, k["line"]);
        EXPECT_EQ(text.rfind(k["keyword"].get<std::string>(), 0), 0u) << k;
        EXPECT_NE(prev_lines[keywords[i] - 1].find(k["value"].get<std::string>()), std::string::npos) << k;
        expect_rule_at_its_line(k, rules_lines);
        expect_fate_logged(k, log);
    }
    EXPECT_EQ(report["run"]["errors"], count_of(log, "config_upgrade\nERROR: "));
    EXPECT_EQ(report["run"]["warnings"], count_of(log, "config_upgrade\nWARNING: "));
}

json decisions_of(const json& report) { return {report["sections"], report["keywords"]}; }

}  // namespace kxtest
