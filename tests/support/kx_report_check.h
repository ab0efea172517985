// Checks of config_upgrade's decision report (--report) against its
// documented schema and against the files and the suite log of the run.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kxtest {

// The report at PATH, parsed; a test failure when it is missing, is not
// JSON, or breaks doc/upgrade_report.schema.json.
nlohmann::json read_decision_report(const std::string& path);

// Failures unless REPORT lists every keyword line and every section and
// subsection header of the previous file at PREV once, in file order and
// at its line; names each rule at a line of the rules file at RULES that
// holds the rule's name; and counts the ERROR and WARNING entries that LOG
// (the suite log of this run alone) holds. Each decided fate must match the
// log entry or report the engine wrote for it.
void expect_report_matches_files(const nlohmann::json& report, const std::string& prev, const std::string& rules,
                                 const std::string& log);

// The report's decisions (sections and keywords), for comparing two runs.
nlohmann::json decisions_of(const nlohmann::json& report);

}  // namespace kxtest
