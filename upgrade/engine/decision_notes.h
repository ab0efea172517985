// What the merge tells the run's decision report (--report), when there is
// one: small calls at each decision, which do nothing without a report.
#ifndef DECISION_NOTES_H
#define DECISION_NOTES_H

#include <string>
#include <utility>

#include "decision_report.h"
#include "name_lists.h"
#include "upgrade_report.h"

inline std::string name_of(const char* name) { return name ? name : ""; }

// The rule at RULE governs the name last in SECTION, SUBSECTION, KEYWORD
// (a keyword with its occurrence number INSTANCE) of the rules file.
inline void note_rule(DecisionReport* report, const void* rule, const char* section, const char* subsection,
                      const char* keyword, int instance) {
    if (report) report->rule_read(rule, {section, name_of(subsection), name_of(keyword), instance});
}

inline void note_level(DecisionReport* report, const char* section, const char* subsection, const void* rule,
                       Fate fate, Action action) {
    if (report) report->section(section, subsection, rule, fate, action);
}

// "name value" of a set's start line, which names the set.
inline std::string set_name(const NAME_LIST* start) { return std::string(start->name) + " " + start->text; }

// One keyword line's decision, handed to the report when the upgrade of
// the keyword is left, whichever way (a run that ends half way included).
class KeywordRecord {
public:
    KeywordRecord(DecisionReport* report, const ERROR_CONTEXT* context, const NAME_LIST* keyword, const void* rule,
                  Fate fate)
        : report_(report) {
        if (!report_) return;
        d.previous = {context->section, name_of(context->subsection), keyword->name, keyword->instance};
        d.rule = rule;
        d.fate = fate;
    }
    KeywordRecord(const KeywordRecord&) = delete;
    KeywordRecord& operator=(const KeywordRecord&) = delete;
    ~KeywordRecord() {
        if (report_) report_->keyword(std::move(d));
    }
    bool wanted() const { return report_ != nullptr; }
    void wrote(const ERROR_CONTEXT* work, Action action) {
        d.action = action;
        d.written = {work->section, name_of(work->subsection), work->keyword, work->instance};
        d.written_value = name_of(work->value);
        d.written_without_value = !work->value;
    }

    KeywordDecision d;

private:
    DecisionReport* report_;
};

// Every line of the set from FIRST to END takes the start rule's FATE.
inline void note_set(DecisionReport* report, const ERROR_CONTEXT* context, NAME_LIST* first, const NAME_LIST* end,
                     const void* rule, Fate fate) {
    if (!report) return;
    for (NAME_LIST* node = first;; node = node->next) {
        KeywordRecord(report, context, node, rule, fate).d.set_start = set_name(first);
        if (node == end) break;
    }
}

#endif
