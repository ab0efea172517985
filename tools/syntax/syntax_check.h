// Checking a configuration file against a syntax file, the way config_check
// does it, for every program that wants the same findings:
//
//     kx_syntax::SyntaxChecker checker;
//     kx_syntax::Findings findings;
//     if (!checker.load(syntax_path, findings)) { ... syntax file not usable ... }
//     int count = checker.check(config_path, true, findings);
//
// Each finding names a place ("[section] (subsection) keyword"; empty for a
// file the library cannot read), what is wrong there and the line of the
// file it is about. load's findings are about the syntax file, check's
// about the checked file; a program prints them as "FILE:LINE: where: what".
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kx_syntax {

struct Finding {
    std::string where;
    std::string what;
    int line = 0;  // line of the checked file the finding is about; 0 for none
};
using Findings = std::vector<Finding>;

// A finding as every tool prints it: "FILE:LINE: where: what", without the
// line or the place where the finding has none.
std::string format_finding(const std::string& file, const Finding& finding);

class SyntaxChecker {
public:
    SyntaxChecker();
    ~SyntaxChecker();

    // Reads the syntax file; false, with what made it unusable appended to
    // FINDINGS, when it cannot serve.
    bool load(const std::string& syntax_path, Findings& findings);
    // Appends the findings of the file at PATH and returns their number.
    // CHECK_PATHS false skips the existence checks of file and dir values.
    int check(const std::string& path, bool check_paths, Findings& findings) const;

private:
    struct Model;
    std::unique_ptr<Model> model_;
};

}  // namespace kx_syntax
