// The upgrade rules reader on any bytes: every section, subsection and
// keyword rule is parsed as the merge parses it, reporting each fault and
// going on, without a fault of its own.
#include "support.h"
#include "upgrade_rules.h"

#include <climits>
#include <string>
#include <vector>

namespace {

// Parses the rules of one level; returns the names it found.
std::vector<std::string> read_level(RulesReader& reader, const char* section, const char* subsection,
                                    bool keywords) {
    KXCF_FILE* rules = reader.file();
    std::vector<std::string> names;
    UPGRADE_RULE* list = nullptr;
    reader.rules_rewind();
    for (;;) {
        const char* name;
        if (keywords) {
            const char* keyword = nullptr;
            name = reader.upgrade_nextvar(section, subsection, &keyword, 0) == KXCF_FAIL ? KXCF_FAIL : keyword;
        } else {
            name = section ? kxcf_nextsubsection(rules, section) : kxcf_nextsection(rules);
        }
        if (name == KXCF_FAIL) break;
        names.emplace_back(name);  // parsing reads on and may replace it
        ERROR_CONTEXT context{section, subsection, nullptr, nullptr, 0};
        (keywords ? context.keyword : section ? context.subsection : context.section) = names.back().c_str();
        reader.parse_upgrade_rule(append_rule(upgrade_strdup(name), &list), &context);
    }
    free_rules(list);
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::string path = kxfuzz::put_file("rules.upg", data, 0);
    kxfuzz::put_file("rules.upg", data, size);
    UPGRADE_INPUTS inputs{};
    inputs.upgrade_rules_file = path.data();
    UPGRADE_RUN run{inputs, {}};
    run.state.error_limit = INT_MAX;  // a long run of faults must not end the run
    KXCF_FILE* rules = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    if (!rules) return 0;
    RulesReader reader(run, rules);
    for (const std::string& section : read_level(reader, nullptr, nullptr, false)) {
        read_level(reader, section.c_str(), nullptr, true);
        for (const std::string& sub : read_level(reader, section.c_str(), nullptr, false))
            read_level(reader, section.c_str(), sub.c_str(), true);
    }
    kxcf_close(rules);
    return 0;
}
