// The checking commands: check (the library's parse, and a syntax file the
// way config_check applies it) and cksum (a subsection's checksum keyword).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "document.h"
#include "kx_errno.h"
#include "kxconf.h"
#include "syntax_check.h"

namespace kxconf {
namespace {

constexpr const char* kChecksumPrefix = "cksum_";

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

// kxcf_cksum stores what it computes, so it works on a private copy of
// the file; the file itself is only read. The computed checksum, after a
// check that PLACE exists; RC is kxcf_cksum's result.
std::string checksum_of_copy(const std::string& path, const std::string& name, const Place& place,
                             const std::string& checksum_name, int& rc) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(kFileError, "cannot open " + name + ": " + error_text(errno));
    kx_syntax::ScratchCopy copy;
    const int err = copy.copy_from(fd);
    close(fd);
    if (err) fail(kFileError, "cannot copy " + name + ": " + error_text(err));
    Handle scratch = open_for_reading(copy.path(), name, 0);
    const std::string keyword = checksum_keyword(checksum_name);
    checksum_values(scratch.get(), name, place, keyword);
    rc = compute_checksum(scratch.get(), name, place, checksum_name);
    return checksum_values(scratch.get(), name, place, keyword).front();
}

int verify_checksum(const Source& source, const Place& place, const std::string& name) {
    const std::string keyword = checksum_keyword(name);
    check_names(place, keyword);
    Handle original = open_for_reading(source, KXCF_NOEXPAND);
    const std::vector<std::string> stored = checksum_values(original.get(), source.name(), place, keyword);
    int rc = 0;
    std::printf("%s\n", checksum_of_copy(source.path(), source.name(), place, name, rc).c_str());
    if (rc == 0) return kDone;
    fail(kProblem, about(source.name(), place, keyword) +
                       (stored.empty() ? "no checksum stored"
                                       : "stored checksum " + stored.front() + " does not match"));
}

}  // namespace

int run_check(const Options& o) {
    const Source source(o);
    const bool with_syntax = !o.syntax_file.empty();
    kx_syntax::SyntaxChecker checker;
    if (with_syntax) load_syntax(checker, o.syntax_file);
    try {
        open_for_reading(source, KXCF_NOEXPAND);
    } catch (const Failure& failure) {
        if (failure.status != kUnreadable) throw;
        std::printf("%s\n", failure.message.c_str());
        return kProblem;
    }
    int problems = 0;
    if (with_syntax) {
        kx_syntax::Findings findings;
        problems += checker.check(source.path(), true, findings);
        for (const kx_syntax::Finding& f : findings) print_finding(source.name(), f);
    }
    return problems ? kProblem : kDone;
}

int run_cksum(const Options& o) {
    const Place place = parse_place(o.args[0]);
    if (!place.has_subsection) fail(kUsage, "cksum needs SECTION/SUBSECTION, not \"" + o.args[0] + "\"");
    const std::string name = o.cksum_name.empty() ? place.subsection : o.cksum_name;
    if (o.verify) return verify_checksum(Source(o), place, name);

    // Values expanded, as the suite's programs digest them; the checksum
    // computed from the file as read under the lock.
    Edit store;
    store.place = place;
    store.keyword = checksum_keyword(name);
    check_names(place, store.keyword);
    const int status = edit_file(o, {}, [&](const std::string& path, std::vector<Edit>& edits) {
        int rc = 0;
        store.value = checksum_of_copy(path, path, place, name, rc);
        edits.push_back(store);
    });
    std::printf("%s\n", store.value.c_str());
    return status;
}

}  // namespace kxconf
