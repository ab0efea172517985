// The checking commands: check (the library's parse, and a syntax file the
// way config_check applies it) and cksum (a subsection's checksum keyword).
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "kx_errno.h"
#include "kx_files.h"
#include "kxconf.h"
#include "syntax_check.h"

namespace kxconf {
namespace {

constexpr const char* kChecksumPrefix = "cksum_";
constexpr const char* kScratchTemplate = "/kxconf.XXXXXX";

void print_finding(const std::string& path, const kx_syntax::Finding& f) {
    std::printf("%s\n", kx_syntax::format_finding(path, f).c_str());
}

void load_syntax(kx_syntax::SyntaxChecker& checker, const std::string& syntax_path) {
    kx_syntax::Findings why;
    if (!checker.load(syntax_path, why)) {
        std::string reasons;
        for (const kx_syntax::Finding& f : why) reasons += "; " + kx_syntax::format_finding(syntax_path, f);
        fail(kUsage, "syntax file " + syntax_path + " is not usable" + reasons);
    }
}

// ---- checksums --------------------------------------------------------------

// The keyword kxcf_cksum keeps the checksum in: "cksum_" and the name, cut
// to the longest keyword name.
std::string checksum_keyword(const std::string& name) {
    return lower(kChecksumPrefix + name).substr(0, KXCF_MAX_NAME);
}

// The values of KEYWORD in the subsection kxcf_cksum works on.
std::vector<std::string> checksum_values(KXCF_FILE* f, const std::string& path, const Place& place,
                                         const std::string& keyword) {
    if (kxcf_findsubsection(f, place.section.c_str(), place.sub()) != 0)
        fail(kNotThere, about(path, place) + error_text(kx_errno));
    return values_of(read_list(f, path, place), keyword);
}

// kxcf_cksum's result: 0 stored and matching, 1 computed and stored.
int compute_checksum(KXCF_FILE* f, const std::string& path, const Place& place, const std::string& name) {
    const int rc = kxcf_cksum(f, place.section.c_str(), place.sub(), name.c_str());
    if (rc < 0)
        fail(kx_errno == KXCF_EVALSIZE ? kUnreadable : kFileError,
             about(path, place) + "cannot compute the checksum: " + error_text(kx_errno));
    return rc;
}

// A private copy of a file in a directory of its own, removed with it.
class ScratchCopy {
public:
    explicit ScratchCopy(const std::string& original) {
        const char* tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + kScratchTemplate;
        if (!mkdtemp(dir.data())) cannot_copy(original, errno);
        dir_ = dir;
        path_ = dir + "/copy";
        if (copy_file(path_.c_str(), original.c_str()) != 0) {
            const int code = kx_errno;
            remove_dir();
            cannot_copy(original, code);
        }
    }
    ~ScratchCopy() { remove_dir(); }
    ScratchCopy(const ScratchCopy&) = delete;
    ScratchCopy& operator=(const ScratchCopy&) = delete;
    const std::string& path() const { return path_; }

private:
    void remove_dir() const {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    [[noreturn]] static void cannot_copy(const std::string& original, int code) {
        fail(kFileError, "cannot copy " + original + " to verify its checksum: " + error_text(code));
    }

    std::string dir_;
    std::string path_;
};

// kxcf_cksum stores what it computes; a verification works on a copy, so
// that the file itself is left as it is.
int verify_checksum(const std::string& path, const Place& place, const std::string& name) {
    const std::string keyword = checksum_keyword(name);
    Handle original = open_for_reading(path, KXCF_NOEXPAND);
    check_names(original.get(), place, keyword.c_str());
    const std::vector<std::string> stored = checksum_values(original.get(), path, place, keyword);

    ScratchCopy copy(path);
    Handle scratch = open_for_reading(copy.path(), 0);
    const int rc = compute_checksum(scratch.get(), path, place, name);
    const std::vector<std::string> computed = checksum_values(scratch.get(), path, place, keyword);
    if (!computed.empty()) std::printf("%s\n", computed.front().c_str());
    if (rc == 0) return kDone;
    fail(kProblem, about(path, place, keyword) +
                       (stored.empty() ? "no checksum stored"
                                       : "stored checksum " + stored.front() + " does not match"));
}

}  // namespace

int run_check(const Options& o) {
    const std::string path = target_path(o);
    const bool with_syntax = !o.syntax_file.empty();
    kx_syntax::SyntaxChecker checker;
    if (with_syntax) load_syntax(checker, o.syntax_file);
    try {
        open_for_reading(path, KXCF_NOEXPAND);
    } catch (const Failure& failure) {
        if (failure.status != kUnreadable) throw;
        std::printf("%s\n", failure.message.c_str());
        return kProblem;
    }
    int problems = 0;
    if (with_syntax) {
        kx_syntax::Findings findings;
        problems += checker.check(path, true, findings);
        for (const kx_syntax::Finding& f : findings) print_finding(path, f);
    }
    return problems ? kProblem : kDone;
}

int run_cksum(const Options& o) {
    const std::string path = target_path(o);
    const Place place = parse_place(o.args[0]);
    if (!place.has_subsection) fail(kUsage, "cksum needs SECTION/SUBSECTION, not \"" + o.args[0] + "\"");
    const std::string name = o.cksum_name.empty() ? place.subsection : o.cksum_name;
    if (o.verify) return verify_checksum(path, place, name);

    // Values expanded, as the suite's programs digest them.
    EditSession session(path, 0, o.wait_seconds);
    KXCF_FILE* f = session.file();
    const std::string keyword = checksum_keyword(name);
    check_names(f, place, keyword.c_str());
    checksum_values(f, path, place, keyword);
    session.editing();
    compute_checksum(f, path, place, name);
    const std::vector<std::string> computed = checksum_values(f, path, place, keyword);
    session.save();
    if (!computed.empty()) std::printf("%s\n", computed.front().c_str());
    return kDone;
}

}  // namespace kxconf
