/*
 * The decision report of one run (config_upgrade --report FILE): what
 * became of every section, subsection and keyword line of the previous
 * file, the rule that decided it, what was written to the result, and every
 * report the run printed, as one JSON document (doc/upgrade_report.schema.json).
 *
 *     DecisionReport decisions(path);              the driver, once per run
 *     decisions.rule_read(rule, place);            the engine, as it reads a rule
 *     decisions.section(...), .keyword(...)        the engine, as it decides
 *     decisions.reported(...)                      reporting, for each report
 *     decisions.checker_rejected(previous)         the driver, for a failed check
 *     decisions.write(run)                         at the end of the run
 *
 * Rules are known by their address while their list lives; the report
 * keeps their place in the rules file and finds its line when it is
 * written. Lines of the previous file that no decision reached (a run that
 * stopped) are listed as not processed. Collecting changes nothing the run
 * does; write() only says whether the document could be written.
 */
#ifndef DECISION_REPORT_H
#define DECISION_REPORT_H

#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

/* What became of a previous section, subsection or keyword line, in the
 * rules' words. */
enum class Fate { custom, factory, deleted, no_rule, repeated, skipped, unplaced, not_processed };

/* What was done to the result for it. */
enum class Action { none, added, existing, replaced, inserted, unchanged, failed };

/* A place in a configuration file; empty names stand for none. */
struct ItemPlace {
    std::string section, subsection, keyword;
    int instance = 0;
};

/* One previous keyword line's decision. The line is PREVIOUS (its instance
 * is its occurrence number in its list); WRITTEN is where the value went. */
struct KeywordDecision {
    ItemPlace previous;
    const void* rule = nullptr;
    Fate fate = Fate::custom;
    Action action = Action::none;
    ItemPlace written;              /* instance 0 for a line inserted into a set */
    int written_position = 0;       /* an inserted line: its keyword line number */
    std::string written_value;
    bool written_without_value = false;
    std::string renamed_to, units_value, set_start, event_code;
    bool multiple = false;
};

/* One report as upgrade_error printed it. */
struct ReportedProblem {
    bool error;                     /* ERROR (counted) or WARNING */
    int error_number;
    std::string message;            /* the message, without number or context */
    const char* file;               /* "new", "output", "previous", "rules" or null */
    ItemPlace place;
    std::string value;
    bool has_value;
    std::string text;               /* the whole report as printed */
};

/* How the run ended, as the driver and reporting know it. */
enum class RunEnd { completed, fatal, errors, error_limit };

/* Where the result went. */
enum class ResultPlace { new_file, output_file, temporary_copy, none };

/* The run as a whole, filled at its end. Null strings are absent files. */
struct RunSummary {
    const char* new_file = nullptr;
    const char* previous_file = nullptr;
    const char* rules_file = nullptr;
    const char* new_syntax_file = nullptr;
    const char* previous_syntax_file = nullptr;
    const char* output_file = nullptr;
    const char* temporary_file = nullptr;
    const char* version_to_install = nullptr;
    const char* previous_version = nullptr;
    bool preview = false, force = false, test_mode = false;
    RunEnd end = RunEnd::completed;
    ResultPlace result = ResultPlace::none;
    const char* result_file = nullptr;
};

/* The value of the report's "report_version". */
inline constexpr int kDecisionReportVersion = 1;

class DecisionReport {
public:
    /* A report to be written to PATH ("-": standard output). */
    explicit DecisionReport(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    /* The rule at RULE governs the name last in PLACE (a section, a
     * subsection, or a keyword with its occurrence number) of the rules file. */
    void rule_read(const void* rule, const ItemPlace& place);
    /* A previous section (empty SUBSECTION) or subsection, in file order. */
    void section(const char* section, const char* subsection, const void* rule, Fate fate, Action action);
    void keyword(KeywordDecision decision);
    void reported(ReportedProblem problem);
    /* config_check refused the previous file (PREVIOUS) or the result. */
    void checker_rejected(bool previous);

    /* Writes the document for RUN to the report's path. False with the
     * system's reason in errno when it could not be written. */
    bool write(const RunSummary& run) const;
    /* The document's text. */
    std::string document(const RunSummary& run) const;

private:
    struct Rule {
        ItemPlace place;
        std::string name;
    };
    struct Decided {
        Rule rule;
        bool has_rule;
    };
    struct LevelDecision : Decided {
        Fate fate;
        Action action;
    };
    struct KeywordEntry : Decided {
        KeywordDecision decision;
    };
    using Key = std::tuple<std::string, std::string, std::string, int>;

    Decided decided_by(const void* rule) const;

    std::string path_;
    std::unordered_map<const void*, Rule> rules_;
    std::vector<LevelDecision> sections_;                      // previous sections, in order
    std::map<Key, LevelDecision> subsections_;                 // section, subsection, "", occurrence
    std::map<std::pair<std::string, std::string>, int> subsection_count_;
    std::map<Key, KeywordEntry> keywords_;                     // section, subsection, keyword, instance
    std::vector<ReportedProblem> reports_;
    bool previous_rejected_ = false;
    bool result_rejected_ = false;

    friend class DocumentBuilder;
};

#endif
