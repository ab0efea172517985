/*
 * The engine's name lists and the choice of the rule that governs a name.
 */
#ifndef NAME_LISTS_H
#define NAME_LISTS_H

#include <memory>


/* Rule flags of an UPGRADE_RULE. */
#define RULE_FACTORY 1
#define RULE_CUSTOM 2
#define RULE_DELETE 4
#define RULE_SET 8
#define RULE_START 16
#define RULE_MULTIPLE 32
#define RULE_XFER_EVENT 64
#define RULE_RENAME 128

/* One node of the engine's singly linked lists of names, and the rest of
 * the list after it. A node owns its strings and sub-lists. */
typedef struct NAME_LIST {
    char* name;
    int instance;            /* a keyword line: its occurrence number */
    char* text;              /* a keyword line: its value */
    struct NAME_LIST* next;
} NAME_LIST;

/* One rule of the rules file: the name it governs (exact or a ".."
 * pattern), its RULE_ flags, the "_value" and "_kx_version" lists that
 * restrict it, its units and the rename target. Rules form a list in
 * file order; a rule owns its strings and lists. */
typedef struct UPGRADE_RULE {
    char* name;
    int flags;
    NAME_LIST* values;
    NAME_LIST* versions;
    char* text;              /* the "_rename" target */
    char* units;
    struct UPGRADE_RULE* next;
} UPGRADE_RULE;

/* Qualifiers of match_name_list: which restrictions of a rule are tested. */
#define MATCH_VALUES 1   /* the rule's "_value" list against the value */
#define MATCH_VERSIONS 2 /* the rule's "_kx_version" list against the previous version */

/* Lists start empty (null head), grow at the tail and are released whole.
 * append_name_list takes ownership of NAME (a malloc'd copy) and returns the
 * new node with every other field zero, for the caller to fill; running out
 * of memory throws std::bad_alloc. append_rule and free_rules do the same
 * for rules. */
NAME_LIST* append_name_list(char* name, NAME_LIST** list);
void free_name_list(NAME_LIST* list);
UPGRADE_RULE* append_rule(char* name, UPGRADE_RULE** rules);
void free_rules(UPGRADE_RULE* rules);
/* Number of nodes named NAME; right after an append it is the new node's
 * instance number. */
int count_name_list(const char* name, const NAME_LIST* list);

/* What a rule's restrictions are tested against: the keyword's VALUE (may
 * be null) and the PREVIOUS_VERSION of the product, each only when its
 * MATCH_ bit is in QUALIFIERS. */
typedef struct RULE_FILTER {
    const char* value;
    const char* previous_version;
    int qualifiers;
} RULE_FILTER;

/* The rule that governs NAME: the best-scoring rule whose restrictions
 * FILTER allows.
 * Among rules of one score the first applicable one wins; a better-scoring
 * rule that does not apply clears a weaker choice made before it. Null when
 * no rule governs the name. */
UPGRADE_RULE* match_name_list(const char* name, UPGRADE_RULE* rules, const RULE_FILTER& filter);
/* The rules of one complete list, ready for many choices: exact names are
 * found by hash and only the ".." patterns are scored one by one. match
 * chooses as match_name_list over the whole list does. The list must not
 * change while the index is in use. */
class RuleIndex {
public:
    explicit RuleIndex(UPGRADE_RULE* rules);
    ~RuleIndex();
    RuleIndex(const RuleIndex&) = delete;
    RuleIndex& operator=(const RuleIndex&) = delete;
    UPGRADE_RULE* match(const char* name, const RULE_FILTER& filter) const;

private:
    struct Tables;
    std::unique_ptr<Tables> tables_;
};
/* match_name_list over one keyword set's rules only: START and the rules
 * after it that carry RULE_SET without RULE_START. */
UPGRADE_RULE* match_name_in_set(const char* name, UPGRADE_RULE* start, const RULE_FILTER& filter);
/* How well NAME fits a rule name: 0 for no fit. An exact name scores above
 * every pattern; a ".." pattern scores its literal characters plus 1. */
int name_match_score(const char* name, const char* rule_name);
/* Score of NAME against a ".." PATTERN: when some tail of the name matches
 * the whole pattern (".." any run, none included; every other character
 * itself), the number of literal characters plus 1, else 0. */
int pattern_match_score(const char* name, const char* pattern);
/* 1 when RULE's restrictions allow what FILTER names, else 0. */
int rule_applies(const UPGRADE_RULE* rule, const RULE_FILTER& filter);

#endif
