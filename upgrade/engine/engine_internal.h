// Texts, constants and small helpers shared by the engine's files.
#ifndef ENGINE_INTERNAL_H
#define ENGINE_INTERNAL_H

#include <cstring>
#include <string>

#include "kx_dbg.h"
#include "kxcf.h"
#include "name_lists.h"
#include "upgrade_report.h"

// Messages of the walk and the keyword upgrade, kept together so that the
// texts users and log readers see stay in one place.
inline const char* const kMsgNewSections = "kxcf_nextsection failed for New config file";
inline const char* const kMsgPrevSections = "kxcf_nextsection failed for Previous config file";
inline const char* const kMsgRulesSections = "kxcf_nextsection failed for Upgrade Rules file";
inline const char* const kMsgDupSection =
    "Duplicate section name - section names must be unique\nUsing the first instance";
inline const char* const kMsgNewSectionNoRule =
    "Section name in New Config File has no match in Upgrade Rules file";
inline const char* const kMsgNextSubsection = "kxcf_nextsubsection failed";
inline const char* const kMsgDupSubsection =
    "Duplicate subsection name - subsection names must be unique\nUsing the first instance";
inline const char* const kMsgNewSubsectionNoRule =
    "Subsection name in New Config File has no match in Upgrade Rules file";

// What the walk says about a previous section or subsection, by level.
struct LevelTexts {
    const char* no_rule;
    const char* deleting;
    const char* factory;
    const char* adding;
    const char* add_failed;
    const char* repeated;
};
inline const LevelTexts kMsgSectionTexts = {
    "Section in the Previous Config File has no match in Upgrade Rules file\n"
    "Section is not include in the New configuration file",
    "upgrade_all_sections: Deleting section in Previous config file\n",
    "upgrade_all_sections: Using Factory values for entire section\n"
    "  Section in Previous config file is replaced by section in New config file\n",
    "upgrade_all_sections: Adding section in New config file\n",
    "kxcf_setsection failed",
    "Section occurs more than once in the Previous Config file\n"
    "Only the first instance is included in the New configuration file",
};
inline const LevelTexts kMsgSubsectionTexts = {
    "Subsection in the Previous Config file has no match in Upgrade Rules file\n"
    "Subsection is not included in the New Config file",
    "upgrade_section: Deleting subsection in Previous config file\n",
    "upgrade_section: Using Factory values for entire subsection\n"
    "  Subsection in Previous config file is replaced by subsection in New config file\n",
    "upgrade_section: Adding subsection in New config file\n",
    "kxcf_setsubsection failed",
    "Subsection occurs more than once in its section of the Previous Config file\n"
    "Only the first instance is included in the New Config file",
};

inline const char* const kMsgRulesNextvar = "upgrade_nextvar failed after this keyword";
inline const char* const kMsgNextvar = "kxcf_nextvar failed after this keyword";
inline const char* const kMsgPrevKeywordNoRule =
    "Keyword in the Previous Config file has no match in Upgrade Rules file\n"
    "Keyword is not include in the New Config file";

inline const char* const kMsgFactoryKeyword =
    "upgrade_keyword: Upgrade rule = factory\n"
    "  Keyword in Previous config file is replaced by keyword in New config file\n";
inline const char* const kMsgDeleteKeyword = "upgrade_keyword: Deleting keyword in Previous config file\n";
inline const char* const kMsgRenameKeyword =
    "upgrade_keyword: Keyword \"%s\" is renamed to \"%s\"\n  Value is retained from Previous config file\n";
inline const char* const kMsgWriteKeyword = "upgrade_keyword: Writing keyword to New config file\n";
inline const char* const kMsgInsertKeyword =
    "upgrade_keyword: Writing keyword to New config file\n"
    "  after line %d in subsection of New config file\n";
// A keyword that is not multiple keeps one value, and a set keeps one line
// of each member name: a later line of the previous file overwrites the
// value an earlier one left, which must not go unnoticed.
inline const char* const kMsgRepeatedKeyword =
    "Keyword occurs more than once in the Previous Config file\n"
    "  but its Upgrade Rule is not multiple\n"
    "  This value replaces the value of the earlier instance";
inline const char* const kMsgRepeatedSetMember =
    "Keyword occurs more than once in a set in the Previous Config file\n"
    "  but a set holds one line of each keyword\n"
    "  This value replaces the value of the earlier instance";
inline const char* const kMsgSetvarInstFailed = "kxcf_setvar_inst failed";
inline const char* const kMsgSetvarIndexFailed = "kxcf_setvar_index failed for index = %d";
inline const char* const kMsgNoDigit =
    "Expected a digit as the first char in keyword value with units\nUnable to upgrade units = '%s'";
inline const char* const kMsgBadUnits =
    "Invalid format for keyword value with units\nUnable to Upgrade units = '%s'";
inline const char* const kMsgWriteEventCode =
    "add_xfer_event_code: Writing \"%s\" to New config file\n"
    "  after line %d in subsection of New config file\n";
inline const char* const kEventCodeKeyword = "event_code";

inline const char* const kMsgFactorySetStart =
    "First keyword in set in Previous Config file has no match\n"
    "  in New Config file, but has Upgrade Rule = factory\n"
    "  Skipping the set that starts with this keyword\n";
inline const char* const kMsgNoRuleSetStart =
    "First keyword in set in Previous Config file has no match\n"
    "  in New Config file, and its Upgrade Rule has none of factory, custom, delete\n"
    "  Skipping the set that starts with this keyword\n";
inline const char* const kMsgSetMemberNoRule =
    "Keyword in set in Previous Config file has no match\n"
    "  in Upgrade Rules file for this set\n"
    "  No upgrade performed for this keyword\n";


// End-of-walk codes of the configuration file library.
inline constexpr int kNoMoreSections = KXCF_ENOSECTION;
inline constexpr int kNoMoreSubsections = KXCF_ENOSUBSECTION;
inline constexpr int kNoMoreKeywords = KXCF_ENOKEYWORD;

// Qualifiers of match_name_list: name only, or also "_value" and "_kx_version".
inline constexpr int kNameOnly = 0;
inline constexpr int kAllQualifiers = MATCH_VALUES | MATCH_VERSIONS;

// Rule words shown in the debug lines, in the order the lines list them.
struct FlagWord {
    int flag;
    const char* word;
};
inline constexpr FlagWord kFlagWords[] = {
    {RULE_FACTORY, " factory"}, {RULE_DELETE, " delete"},         {RULE_CUSTOM, " custom"},
    {RULE_MULTIPLE, " multiple"}, {RULE_SET, " set"},             {RULE_START, " start"},
    {RULE_XFER_EVENT, " xfer_event"}, {RULE_RENAME, " rename"},
};
inline constexpr int kSetFlagWords = 6;  // a set's debug line names the first six only

inline bool debugging(unsigned bit) { return (debug_flags & bit) != 0; }

// The rule words of FLAGS among the first COUNT of kFlagWords.
inline std::string flag_words(int flags, int count) {
    std::string words;
    for (int i = 0; i < count; ++i)
        if (flags & kFlagWords[i].flag) words += kFlagWords[i].word;
    return words;
}

// A rename target as the library will store and list it: names are
// lower-cased, however the rules file writes them.
inline std::string lower_case_name(const char* name) {
    std::string lower(name);
    string_tolower(lower.data());
    return lower;
}

inline bool same_value(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : "") == 0; }

#endif
