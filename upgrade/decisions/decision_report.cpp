// The decision report: collected while the run decides, written once at
// its end as JSON, in the order of the previous file's lines.
#include "decision_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "file_lines.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_program_version.h"

namespace {

using Json = nlohmann::ordered_json;
using kx_syntax::FileLine;

constexpr const char* kStandardOutput = "-";
constexpr const char* kTempSuffix = ".tmp";

const char* fate_name(Fate fate) {
    static const char* const names[] = {"custom",   "factory", "delete",   "no_rule",
                                        "repeated", "skipped", "unplaced", "not_processed"};
    return names[static_cast<int>(fate)];
}

// The fate in the words an administrator reads in the rules file.
const char* fate_words(Fate fate) {
    static const char* const words[] = {
        "kept as the customer's value",         "factory value kept",
        "deleted",                              "no rule: reported",
        "repeated: only the first is used, reported", "keyword set skipped: reported",
        "no place in the new file: not written", "not processed"};
    return words[static_cast<int>(fate)];
}

const char* action_name(Action action) {
    static const char* const names[] = {"none",     "added",    "existing", "replaced",
                                        "inserted", "unchanged", "failed"};
    return names[static_cast<int>(action)];
}

const char* outcome_name(RunEnd end, bool force, bool previous_rejected, bool result_rejected) {
    switch (end) {
    case RunEnd::error_limit:
        return "error_limit";
    case RunEnd::completed:
        return result_rejected ? "result_rejected" : "completed";
    case RunEnd::errors:
        return previous_rejected ? "previous_rejected" : "errors";
    case RunEnd::fatal:
        break;
    }
    // Without -X a rejected file ends the run at once, as a fatal error.
    if (!force && result_rejected) return "result_rejected";
    if (!force && previous_rejected) return "previous_rejected";
    return "fatal";
}

const char* result_place_name(ResultPlace place) {
    static const char* const names[] = {"new_file", "output_file", "temporary_copy", "none"};
    return names[static_cast<int>(place)];
}

Json text_or_null(const char* text) { return text ? Json(text) : Json(nullptr); }
Json name_or_null(const std::string& name) { return name.empty() ? Json(nullptr) : Json(name); }

std::string describe(const KeywordDecision& d) {
    std::string text = d.fate == Fate::custom && d.action == Action::unchanged
                           ? "customer's value already in the new file"
                           : fate_words(d.fate);
    if (!d.renamed_to.empty()) text += "; renamed to \"" + d.renamed_to + "\"";
    if (!d.units_value.empty()) text += "; units converted to \"" + d.units_value + "\"";
    if (d.multiple && d.action == Action::added) text += "; added as another instance";
    if (!d.set_start.empty()) text += "; member of keyword set \"" + d.set_start + "\"";
    if (!d.event_code.empty()) text += "; event code \"" + d.event_code + "\" written as event_code";
    return text;
}

// Lines of the rules file by the place of the name they hold; the first
// of several is the one the engine reads.
class RuleLines {
public:
    explicit RuleLines(const char* path) {
        std::vector<FileLine> lines;
        if (path) kx_syntax::list_file_lines(path, lines);
        for (const FileLine& l : lines)
            by_place_.emplace(std::make_tuple(l.section, l.subsection, l.keyword, l.instance), l.line);
    }
    int line_of(const ItemPlace& p) const {
        auto found = by_place_.find({p.section, p.subsection, p.keyword, p.keyword.empty() ? 0 : p.instance});
        return found == by_place_.end() ? 0 : found->second;
    }

private:
    std::map<std::tuple<std::string, std::string, std::string, int>, int> by_place_;
};

}  // namespace

// Builds the document's lists, walking the previous file's lines once: a
// line inside a section or subsection that was not carried over shares its
// fate and rule.
class DocumentBuilder {
public:
    DocumentBuilder(const DecisionReport& report, const RunSummary& run)
        : report_(report), rule_lines_(run.rules_file) {}

    void walk(const char* previous_file) {
        std::vector<FileLine> lines;
        if (previous_file) kx_syntax::list_file_lines(previous_file, lines);
        for (const FileLine& line : lines) {
            if (line.kind == FileLine::Kind::section) add_section(line);
            if (line.kind == FileLine::Kind::subsection) add_subsection(line);
            if (line.kind == FileLine::Kind::keyword) add_keyword(line);
        }
    }

    Json sections = Json::array();
    Json keywords = Json::array();

private:
    using Level = DecisionReport::LevelDecision;

    Json rule_json(const DecisionReport::Decided& d) const {
        if (!d.has_rule) return nullptr;
        const int line = rule_lines_.line_of(d.rule.place);
        return Json{{"line", line ? Json(line) : Json(nullptr)}, {"name", d.rule.name}};
    }

    Json level_json(const FileLine& line, const Level& d) const {
        return Json{{"section", line.section},
                    {"subsection", name_or_null(line.subsection)},
                    {"line", line.line},
                    {"fate", fate_name(d.fate)},
                    {"description", d.fate != Fate::custom     ? fate_words(d.fate)
                                    : d.action == Action::added ? "carried over: added to the new file"
                                                                : "carried over"},
                    {"rule", rule_json(d)},
                    {"action", action_name(d.action)}};
    }

    static Level not_processed() {
        Level level{};
        level.fate = Fate::not_processed;
        level.action = Action::none;
        return level;
    }

    void add_section(const FileLine& line) {
        const std::size_t ordinal = section_count_++;
        section_ = ordinal < report_.sections_.size() ? report_.sections_[ordinal] : not_processed();
        subsection_seen_.clear();
        sections.push_back(level_json(line, section_));
        inherited_ = section_.fate == Fate::custom ? nullptr : &section_;
        inherited_words_ = " with its section";
    }

    void add_subsection(const FileLine& line) {
        if (section_.fate != Fate::custom) {
            subsection_ = section_;
        } else {
            const int occurrence = ++subsection_seen_[line.subsection];
            auto found = report_.subsections_.find({line.section, line.subsection, "", occurrence});
            subsection_ = found == report_.subsections_.end() ? not_processed() : found->second;
        }
        sections.push_back(level_json(line, subsection_));
        inherited_ = subsection_.fate == Fate::custom ? nullptr : &subsection_;
        inherited_words_ = section_.fate == Fate::custom ? " with its subsection" : " with its section";
    }

    void add_keyword(const FileLine& line) {
        Json entry = {{"section", line.section},
                      {"subsection", name_or_null(line.subsection)},
                      {"keyword", line.keyword},
                      {"instance", line.instance},
                      {"line", line.line},
                      {"value", line.value}};
        auto found = report_.keywords_.find({line.section, line.subsection, line.keyword, line.instance});
        if (inherited_ || found == report_.keywords_.end()) {
            const Level level = inherited_ ? *inherited_ : not_processed();
            const bool not_reached = level.fate == Fate::not_processed;
            entry["fate"] = fate_name(level.fate);
            entry["description"] = std::string(fate_words(level.fate)) + (not_reached ? "" : inherited_words_);
            entry["rule"] = rule_json(level);
            entry["result"] = nullptr;
        } else {
            const KeywordDecision& d = found->second.decision;
            entry["fate"] = fate_name(d.fate);
            entry["description"] = describe(d);
            entry["rule"] = rule_json(found->second);
            entry["result"] = result_json(d);
        }
        keywords.push_back(std::move(entry));
    }

    static Json result_json(const KeywordDecision& d) {
        if (d.action == Action::none) return nullptr;
        const bool inserted = d.action == Action::inserted;
        return Json{{"action", action_name(d.action)},
                    {"section", d.written.section},
                    {"subsection", name_or_null(d.written.subsection)},
                    {"keyword", d.written.keyword},
                    {"instance", inserted ? Json(nullptr) : Json(d.written.instance)},
                    {"position", inserted ? Json(d.written_position) : Json(nullptr)},
                    {"value", d.written_without_value ? Json(nullptr) : Json(d.written_value)},
                    {"event_code", name_or_null(d.event_code)}};
    }

    const DecisionReport& report_;
    RuleLines rule_lines_;
    std::size_t section_count_ = 0;
    Level section_ = not_processed();
    Level subsection_ = not_processed();
    std::map<std::string, int> subsection_seen_;
    const Level* inherited_ = nullptr;
    const char* inherited_words_ = "";
};

void DecisionReport::rule_read(const void* rule, const ItemPlace& place) {
    const std::string& name = !place.keyword.empty()      ? place.keyword
                              : !place.subsection.empty() ? place.subsection
                                                          : place.section;
    rules_[rule] = {place, name};
}

DecisionReport::Decided DecisionReport::decided_by(const void* rule) const {
    auto found = rule ? rules_.find(rule) : rules_.end();
    if (found == rules_.end()) return {{}, false};
    return {found->second, true};
}

void DecisionReport::section(const char* section, const char* subsection, const void* rule, Fate fate,
                             Action action) {
    LevelDecision level{decided_by(rule), fate, action};
    if (!subsection) {
        sections_.push_back(level);
        return;
    }
    const int occurrence = ++subsection_count_[{section, subsection}];
    subsections_[{section, subsection, "", occurrence}] = level;
}

void DecisionReport::keyword(KeywordDecision decision) {
    const ItemPlace& p = decision.previous;
    Key key{p.section, p.subsection, p.keyword, p.instance};
    keywords_[key] = {decided_by(decision.rule), std::move(decision)};
}

void DecisionReport::reported(ReportedProblem problem) { reports_.push_back(std::move(problem)); }

void DecisionReport::checker_rejected(bool previous) {
    (previous ? previous_rejected_ : result_rejected_) = true;
}

std::string DecisionReport::document(const RunSummary& run) const {
    int errors = 0, warnings = 0;
    Json reports = Json::array();
    for (const ReportedProblem& r : reports_) {
        ++(r.error ? errors : warnings);
        reports.push_back({{"severity", r.error ? "ERROR" : "WARNING"},
                           {"error_number", r.error_number},
                           {"message", r.message},
                           {"file", text_or_null(r.file)},
                           {"section", name_or_null(r.place.section)},
                           {"subsection", name_or_null(r.place.subsection)},
                           {"keyword", name_or_null(r.place.keyword)},
                           {"value", r.has_value ? Json(r.value) : Json(nullptr)},
                           {"instance", r.place.instance ? Json(r.place.instance) : Json(nullptr)},
                           {"text", r.text}});
    }
    DocumentBuilder lists(*this, run);
    lists.walk(run.previous_file);

    const bool completed = run.end == RunEnd::completed;
    Json doc;
    doc["report_version"] = kDecisionReportVersion;
    doc["program"] = {{"name", "config_upgrade"}, {"version", KX_PROGRAM_VERSION}};
    doc["run"] = {
        {"outcome", outcome_name(run.end, run.force, previous_rejected_, result_rejected_)},
        {"exit_status", completed ? 0 : 1},
        {"preview", run.preview},
        {"force", run.force},
        {"test_mode", run.test_mode},
        {"errors", errors},
        {"warnings", warnings},
        {"result", {{"place", result_place_name(run.result)}, {"file", text_or_null(run.result_file)}}}};
    doc["files"] = {{"new", text_or_null(run.new_file)},
                    {"previous", text_or_null(run.previous_file)},
                    {"rules", text_or_null(run.rules_file)},
                    {"new_syntax", text_or_null(run.new_syntax_file)},
                    {"previous_syntax", text_or_null(run.previous_syntax_file)},
                    {"output", text_or_null(run.output_file)},
                    {"temporary", text_or_null(run.temporary_file)}};
    doc["versions"] = {{"to_install", text_or_null(run.version_to_install)},
                       {"previous", text_or_null(run.previous_version)}};
    doc["sections"] = std::move(lists.sections);
    doc["keywords"] = std::move(lists.keywords);
    doc["reports"] = std::move(reports);
    // Names and values are bytes; a file that is not UTF-8 still gives a
    // valid document.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Published as every file beside a user's: a new file of its own, synced,
// renamed into place, and the directory synced.
bool publish(const std::string& path, const std::string& text) {
    const std::string tmp = path + kTempSuffix;
    const int fd = open_new_file(tmp.c_str(), 0666);
    if (fd < 0) {
        errno = kx_errno;
        return false;
    }
    bool written = write_all(fd, text) && ::fsync(fd) == 0;
    int reason = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        reason = errno;
    }
    if (written && replace_file(tmp.c_str(), path.c_str()) != 0) {
        written = false;
        reason = kx_errno;
    }
    if (!written) {
        ::unlink(tmp.c_str());
        errno = reason;
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

}  // namespace

bool DecisionReport::write(const RunSummary& run) const {
    const std::string text = document(run);
    if (path_ != kStandardOutput) return publish(path_, text);
    std::fflush(stdout);
    return write_all(STDOUT_FILENO, text);
}
