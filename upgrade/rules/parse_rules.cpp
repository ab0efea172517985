// The upgrade rules file: reserved keywords, rule words and the parsing of
// the rules that follow one section, subsection or keyword name.

#include <cstdio>
#include <cstring>
#include <string>

#include "upgrade_rules.h"
#include "kx_errno.h"
#include "kx_versions.h"

const RULE_WORD section_rule_words[] = {
    {"factory", RULE_FACTORY, RULE_CUSTOM | RULE_DELETE},
    {"custom", RULE_CUSTOM, RULE_FACTORY | RULE_DELETE},
    {"delete", RULE_DELETE, RULE_FACTORY | RULE_CUSTOM},
    {nullptr, 0, 0},
};

const RULE_WORD subsection_rule_words[] = {
    {"factory", RULE_FACTORY, RULE_CUSTOM | RULE_DELETE},
    {"custom", RULE_CUSTOM, RULE_FACTORY | RULE_DELETE},
    {"delete", RULE_DELETE, RULE_FACTORY | RULE_CUSTOM},
    {nullptr, 0, 0},
};

// In bit order: rule_flag_name relies on it.
const RULE_WORD keyword_rule_words[] = {
    {"factory", RULE_FACTORY, RULE_CUSTOM | RULE_DELETE},
    {"custom", RULE_CUSTOM, RULE_FACTORY | RULE_DELETE},
    {"delete", RULE_DELETE, RULE_FACTORY | RULE_CUSTOM},
    {"set", RULE_SET, 0},
    {"start", RULE_START, 0},
    {"multiple", RULE_MULTIPLE, 0},
    {"xfer_event", RULE_XFER_EVENT, 0},
    {nullptr, 0, 0},
};

namespace {

constexpr const char* kw_upgrade = "_upgrade";
constexpr const char* kw_kx_version = "_kx_version";
constexpr const char* kw_value = "_value";
constexpr const char* kw_units = "_units";
constexpr const char* kw_rename = "_rename";

// Messages of the rules reader.
constexpr const char* kMsgInvalidRule = "Invalid rule \"%s\"";
constexpr const char* kMsgRuleTwice = "Rule \"%s\" is specified multiple times";
constexpr const char* kMsgRuleConflict = "Rule \"%s\" conflicts with previous rule \"%s\"";
constexpr const char* kMsgNoMainRule =
    "Must specify one of the following rules: \"%s\" \"%s\" \"%s\"";
constexpr const char* kMsgEntryTwice = "Multiple \"%s\" entries specified - Only 1 is allowed";
constexpr const char* kMsgKeywordOnly =
    "Reserved keyword not allowed after section or subsection name";
constexpr const char* kMsgBadVersion = "\"%s\" is not a valid Kestrix version number";
constexpr const char* kMsgUnderscore =
    "Keyword starting with '_' - possible mispelled reserved keyword";
constexpr const char* kMsgNextvarFailed = "calling kxcf_nextvar";

void report(UPGRADE_RUN& run, Severity severity, const std::string& message, const ERROR_CONTEXT* context,
            int error_number = 0) {
    upgrade_error(run, error_number, message.c_str(), FileKind::rules, severity, context);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

const char* skip_blanks(const char* text) {
    while (is_blank(*text)) ++text;
    return text;
}

const char* end_of_word(const char* text) {
    while (*text != '\0' && !is_blank(*text)) ++text;
    return text;
}

// ---- Reserved keywords ------------------------------------------------------

// What one reserved keyword line does to the rule it belongs to. VALUE is a
// private copy the handler may change.
using ReservedHandler = void (*)(UPGRADE_RUN& run, UPGRADE_RULE* rule, std::string& value,
                                 const RULE_WORD* table, const ERROR_CONTEXT* context);

void take_rule_words(UPGRADE_RUN& run, UPGRADE_RULE* rule, std::string& value, const RULE_WORD* table,
                     const ERROR_CONTEXT* context) {
    parse_rule_words(run, value.data(), table, &rule->flags, context);
}

void take_versions(UPGRADE_RUN& run, UPGRADE_RULE* rule, std::string& value, const RULE_WORD*,
                   const ERROR_CONTEXT* context) {
    parse_version_list(run, value.data(), &rule->versions, context);
}

void take_value(UPGRADE_RUN&, UPGRADE_RULE* rule, std::string& value, const RULE_WORD*, const ERROR_CONTEXT*) {
    append_name_list(upgrade_strdup(value.c_str()), &rule->values);
}

void take_units(UPGRADE_RUN& run, UPGRADE_RULE* rule, std::string& value, const RULE_WORD*,
                const ERROR_CONTEXT* context) {
    set_rule_units(run, rule, value.c_str(), context);
}

void take_rename(UPGRADE_RUN& run, UPGRADE_RULE* rule, std::string& value, const RULE_WORD*,
                 const ERROR_CONTEXT* context) {
    set_rule_rename(run, rule, value.c_str(), context);
}

struct ReservedKeyword {
    const char* name;
    bool keyword_only;  // allowed after a keyword name only
    ReservedHandler handler;
};

const ReservedKeyword reserved_keywords[] = {
    {kw_upgrade, false, take_rule_words},
    {kw_kx_version, false, take_versions},
    {kw_value, true, take_value},
    {kw_units, true, take_units},
    {kw_rename, true, take_rename},
};

const ReservedKeyword* find_reserved(const char* keyword) {
    for (const ReservedKeyword& reserved : reserved_keywords)
        if (std::strcmp(reserved.name, keyword) == 0) return &reserved;
    return nullptr;
}

bool is_reserved(const char* keyword) { return find_reserved(keyword) != nullptr; }

const RULE_WORD* level_words(const ERROR_CONTEXT* context) {
    if (context->keyword != nullptr) return keyword_rule_words;
    if (context->subsection != nullptr) return subsection_rule_words;
    return section_rule_words;
}

const RULE_WORD* find_rule_word(const char* text, const RULE_WORD* table) {
    for (const RULE_WORD* row = table; row->word != nullptr; ++row)
        if (std::strncmp(text, row->word, std::strlen(row->word)) == 0) return row;
    return nullptr;
}

void require_main_rule(UPGRADE_RUN& run, const UPGRADE_RULE* rule, const ERROR_CONTEXT* context) {
    const int main_rules = RULE_FACTORY | RULE_CUSTOM | RULE_DELETE;
    if (rule->flags & main_rules) return;
    report(run, Severity::error,
           upgrade_format(kMsgNoMainRule, rule_flag_name(RULE_FACTORY),
                          rule_flag_name(RULE_CUSTOM), rule_flag_name(RULE_DELETE)),
           context);
}

}  // namespace

// ---- Rule words and entries -------------------------------------------------

const char* rule_flag_name(int bits) {
    for (const RULE_WORD* row = keyword_rule_words; row->word != nullptr; ++row)
        if (bits & row->flag) return row->word;
    if (bits & RULE_RENAME) return kw_rename;
    return "";
}

void add_rule_flag(UPGRADE_RUN& run, int flag, int conflicts, int* flags, const ERROR_CONTEXT* context) {
    bool already = (*flags & flag) != 0;
    if (already)
        report(run, Severity::warning, upgrade_format(kMsgRuleTwice, rule_flag_name(flag)), context);
    if (*flags & conflicts) {
        report(run, Severity::error,
               upgrade_format(kMsgRuleConflict, rule_flag_name(flag),
                              rule_flag_name(*flags & conflicts)),
               context);
        return;
    }
    if (!already) *flags |= flag;
}

void parse_rule_words(UPGRADE_RUN& run, char* text, const RULE_WORD* table, int* flags,
                      const ERROR_CONTEXT* context) {
    string_tolower(text);
    const char* at = skip_blanks(text);
    while (*at != '\0') {
        const char* end = end_of_word(at);
        const RULE_WORD* row = find_rule_word(at, table);
        if (row != nullptr) {
            add_rule_flag(run, row->flag, row->conflicts, flags, context);
        } else {
            std::string word(at, end);
            report(run, Severity::error, upgrade_format(kMsgInvalidRule, word.c_str()), context);
        }
        at = skip_blanks(end);
    }
}

void parse_version_list(UPGRADE_RUN& run, char* text, NAME_LIST** versions, const ERROR_CONTEXT* context) {
    string_tolower(text);
    const char* at = skip_blanks(text);
    while (*at != '\0') {
        const char* end = end_of_word(at);
        std::string word(at, end);
        KX_VERSION version;
        if (kx_parse_version(word.c_str(), &version) == 0)
            append_name_list(upgrade_strdup(word.c_str()), versions);
        else
            report(run, Severity::error, upgrade_format(kMsgBadVersion, word.c_str()), context);
        at = skip_blanks(end);
    }
}

void set_rule_units(UPGRADE_RUN& run, UPGRADE_RULE* rule, const char* units, const ERROR_CONTEXT* context) {
    if (rule->units != nullptr) {
        report(run, Severity::error, upgrade_format(kMsgEntryTwice, kw_units), context);
        return;
    }
    rule->units = upgrade_strdup(units);
}

void set_rule_rename(UPGRADE_RUN& run, UPGRADE_RULE* rule, const char* new_name, const ERROR_CONTEXT* context) {
    if (rule->flags & RULE_RENAME) {
        report(run, Severity::error, upgrade_format(kMsgEntryTwice, kw_rename), context);
        return;
    }
    rule->text = upgrade_strdup(new_name);
    rule->flags |= RULE_RENAME;
}

// ---- Reading the rules file -------------------------------------------------

bool RulesReader::holds_for(const char* section, const char* subsection) const {
    if (!pending_.held || section == nullptr || pending_.section != section) return false;
    if (subsection == nullptr) return !pending_.subsection.has_value();
    return pending_.subsection.has_value() && *pending_.subsection == subsection;
}

const char* RulesReader::next_reserved_keyword(const char* section, const char* subsection,
                                               const char** keyword_out) {
    const char* value = kxcf_nextvar(rules_, section, subsection, keyword_out, 0);
    if (value == KXCF_FAIL) {
        pending_ = Held{};
        if (kx_errno != KXCF_ENOKEYWORD) {
            ERROR_CONTEXT where{section, subsection, nullptr, nullptr, 0};
            report(run_, Severity::error, kMsgNextvarFailed, &where, kx_errno);
        }
        return KXCF_FAIL;
    }
    if (is_reserved(*keyword_out)) return value;

    Held next;
    next.section = section;
    if (subsection != nullptr) next.subsection = subsection;
    next.keyword = *keyword_out;
    next.value = value;
    next.held = true;
    pending_ = std::move(next);
    kx_errno = KXCF_ENOKEYWORD;
    return KXCF_FAIL;
}

void RulesReader::parse_upgrade_rule(UPGRADE_RULE* rule, const ERROR_CONTEXT* context) {
    const RULE_WORD* table = level_words(context);
    bool keyword_level = context->keyword != nullptr;
    const char* keyword = nullptr;
    const char* value;
    while ((value = next_reserved_keyword(context->section, context->subsection, &keyword)) != KXCF_FAIL) {
        const ReservedKeyword* reserved = find_reserved(keyword);
        if (reserved->keyword_only && !keyword_level) {
            ERROR_CONTEXT where = *context;
            where.keyword = reserved->name;
            report(run_, Severity::error, kMsgKeywordOnly, &where);
            continue;
        }
        std::string copy(value);
        reserved->handler(run_, rule, copy, table, context);
    }
    if (keyword_level) require_main_rule(run_, rule, context);
}

const char* RulesReader::upgrade_nextvar(const char* section, const char* subsection, const char** keyword_out,
                                         int valueflags) {
    const char* value = nullptr;
    if (holds_for(section, subsection)) {
        pending_.held = false;
        if (valueflags & KXCF_LOWER) string_tolower(pending_.value.data());
        *keyword_out = pending_.keyword.c_str();
        value = pending_.value.c_str();
    } else {
        do {
            value = kxcf_nextvar(rules_, section, subsection, keyword_out, valueflags);
        } while (value != KXCF_FAIL && is_reserved(*keyword_out));
        if (value == KXCF_FAIL) {
            pending_ = Held{};
            return KXCF_FAIL;
        }
    }
    if ((*keyword_out)[0] == '_') {
        ERROR_CONTEXT where{section, subsection, *keyword_out, value, 0};
        report(run_, Severity::warning, kMsgUnderscore, &where);
    }
    return value;
}

int RulesReader::rules_rewind() {
    pending_ = Held{};
    return kxcf_rewind(rules_);
}
