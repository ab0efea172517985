/*
 * The upgrade rules file: its reserved keywords, its rule words and the
 * parsing of the rules of one section, subsection or keyword name.
 *
 * Reading one level of a rules file:
 *
 *     RulesReader reader(run, rules);
 *     reader.rules_rewind();
 *     while ((value = reader.upgrade_nextvar(sec, sub, &kw, 0)) != KXCF_FAIL) {
 *         context.keyword = copy of kw;
 *         rule = append_rule(copy of kw, &list);
 *         reader.parse_upgrade_rule(rule, &context);
 *     }
 *     if (kx_errno != KXCF_ENOKEYWORD) { ... a real error ... }
 *
 * parse_upgrade_rule reads the reserved keywords ("_upgrade", "_kx_version",
 * "_value", "_units", "_rename") that follow the current name; the ordinary
 * keyword that ends them is held by the reader and handed out by its next
 * upgrade_nextvar. For a section or subsection rule, call parse_upgrade_rule
 * right after kxcf_nextsection or kxcf_nextsubsection with a context that
 * names it. Every fault found is reported against the rules file and
 * parsing goes on.
 */
#ifndef UPGRADE_RULES_H
#define UPGRADE_RULES_H

#include <optional>
#include <string>

#include "kxcf.h"
#include "name_lists.h"
#include "upgrade_report.h"

/* One rule word of a level: its flag and the flags it may not join. */
typedef struct RULE_WORD {
    const char* word;
    int flag;
    int conflicts;
} RULE_WORD;

/* The words allowed at each level, ended by a row with a null word. */
extern const RULE_WORD section_rule_words[];
extern const RULE_WORD subsection_rule_words[];
extern const RULE_WORD keyword_rule_words[];

/* The reader of an open rules file for one run. */
class RulesReader {
public:
    RulesReader(UPGRADE_RUN& run, KXCF_FILE* rules) : run_(run), rules_(rules) {}
    KXCF_FILE* file() const { return rules_; }

    /* Fills RULE from the reserved keywords after the current name. The
     * level is the context's: keyword when it names a keyword, else
     * subsection when it names one, else section. The context names the
     * rules-file place. */
    void parse_upgrade_rule(UPGRADE_RULE* rule, const ERROR_CONTEXT* context);
    /* The next ordinary keyword of the section's own lines (SUBSECTION null)
     * or of the subsection, stepping over reserved keywords; KXCF_FAIL with
     * kx_errno 1028 at the end. A keyword starting with "_" is returned with
     * a warning. VALUEFLAGS go to kxcf_nextvar; of a held keyword's value,
     * only KXCF_LOWER is applied (callers pass 0). */
    const char* upgrade_nextvar(const char* section, const char* subsection, const char** keyword_out,
                                int valueflags);
    /* Rewinds the rules file and forgets the held keyword. */
    int rules_rewind();
    /* The value of the next reserved keyword; KXCF_FAIL with kx_errno 1028
     * when an ordinary keyword (now held) or the end of the list comes
     * first. */
    const char* next_reserved_keyword(const char* section, const char* subsection, const char** keyword_out);

private:
    // The ordinary keyword that ended a run of reserved keywords, kept for
    // the next upgrade_nextvar of the same list.
    struct Held {
        std::string section;
        std::optional<std::string> subsection;
        std::string keyword;
        std::string value;
        bool held = false;
    };
    bool holds_for(const char* section, const char* subsection) const;

    UPGRADE_RUN& run_;
    KXCF_FILE* rules_;
    Held pending_;
};

/* Pieces of parse_upgrade_rule; each reports its own faults. TEXT is
 * changed (lower-cased). */
void parse_rule_words(UPGRADE_RUN& run, char* text, const RULE_WORD* table, int* flags,
                      const ERROR_CONTEXT* context);
void parse_version_list(UPGRADE_RUN& run, char* text, NAME_LIST** versions, const ERROR_CONTEXT* context);
void add_rule_flag(UPGRADE_RUN& run, int flag, int conflicts, int* flags, const ERROR_CONTEXT* context);
/* The word of the lowest known bit of BITS; "" when none is known. */
const char* rule_flag_name(int bits);
void set_rule_units(UPGRADE_RUN& run, UPGRADE_RULE* rule, const char* units, const ERROR_CONTEXT* context);
void set_rule_rename(UPGRADE_RUN& run, UPGRADE_RULE* rule, const char* new_name, const ERROR_CONTEXT* context);

#endif
