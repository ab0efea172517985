// Opening a file for reading or for one locked change, the messages of
// what went wrong, and the walks over keyword lists.
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "kx_errno.h"
#include "kx_files.h"
#include "kxconf.h"

namespace kxconf {
namespace {

constexpr const char* kMainConfigName = KX_MAIN_CONFIG_NAME;
constexpr const char* kLockSuffix = ".lck";
// How often a lock held elsewhere is tried again while waiting.
constexpr long kLockPollNanoseconds = 100L * 1000 * 1000;

// The codes a bad name given to a lookup gets.
bool is_name_fault(int code) {
    return code == KXCF_ESECTSIZE || code == KXCF_ESECTCHAR || code == KXCF_ESUBSIZE ||
           code == KXCF_ESUBCHAR || code == KXCF_EKWSIZE || code == KXCF_EKWCHAR;
}

Failure open_failure(const std::string& path, int code) {
    if (kxcf_lineno > 0)
        return {kUnreadable, path + ":" + std::to_string(kxcf_lineno) + ": " + error_text(code)};
    if (code == KXCF_EFILESIZE) return {kUnreadable, path + ": " + error_text(code)};
    return {kFileError, "cannot open " + path + ": " + error_text(code)};
}

// A failed open in update mode: the lock (held elsewhere, or its file not
// to be made) unless the file itself could not be read.
Failure lock_failure(const std::string& path, int code) {
    if (kxcf_lineno > 0 || code == KXCF_EFILESIZE || access(path.c_str(), R_OK) != 0)
        return open_failure(path, code);
    return {kFileError, "cannot lock " + path + ": " + path + kLockSuffix + ": " + error_text(code)};
}

double now_seconds() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_for_lock() {
    struct timespec ts {0, kLockPollNanoseconds};
    nanosleep(&ts, nullptr);
}

// A handle whose edits must never reach the disk. Closing it would write
// them back, and the library has no way to drop them, so it stays open
// until the process ends, which also releases its lock.
KXCF_FILE* g_abandoned = nullptr;

}  // namespace

void fail(int status, const std::string& message) { throw Failure{status, message}; }

std::string error_text(int number) {
    char* text = kx_errmsg(number);
    std::string result = text ? text : "error " + std::to_string(number);
    std::free(text);
    return result;
}

std::string lower(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string target_path(const Options& options) {
    if (!options.file.empty()) return options.file;
    const char* dir = get_config_dir();
    if (!dir)
        fail(kFileError, std::string("no configuration directory (KESTRIX_HOME is not set and there is "
                                     "no account \"kestrix\"): ") + error_text(KXCF_ENOTFOUND));
    return std::string(dir) + kMainConfigName;
}

Handle open_for_reading(const std::string& path, int flags) {
    kxcf_lineno = 0;
    KXCF_FILE* f = kxcf_open(path.c_str(), flags & ~KXCF_UPDATE);
    if (!f) throw open_failure(path, kx_errno);
    return Handle(f);
}

EditSession::EditSession(const std::string& path, int flags, int wait_seconds) : path_(path) {
    const double deadline = now_seconds() + wait_seconds;
    for (;;) {
        kxcf_lineno = 0;
        file_ = kxcf_open(path.c_str(), flags | KXCF_UPDATE);
        if (file_) break;
        const int code = kx_errno;
        if (code != KXCF_ELOCKED || now_seconds() >= deadline) throw lock_failure(path, code);
        pause_for_lock();
    }
}

EditSession::~EditSession() {
    if (!file_) return;
    if (edited_)
        g_abandoned = file_;
    else
        kxcf_close(file_);
}

void EditSession::save() {
    KXCF_FILE* f = file_;
    file_ = nullptr;
    if (kxcf_close(f) != 0) fail(kFileError, "cannot write " + path_ + ": " + error_text(kx_errno));
}

void check_names(KXCF_FILE* f, const Place& place, const char* keyword) {
    // A lookup checks every name it is given before it searches.
    const char* probe = keyword ? keyword : "x";
    if (kxcf_getvar(f, place.section.c_str(), place.sub(), probe, 0) == KXCF_FAIL &&
        is_name_fault(kx_errno)) {
        const int code = kx_errno;
        const bool keyword_fault = code == KXCF_EKWSIZE || code == KXCF_EKWCHAR;
        const std::string name = keyword_fault ? probe : place.text();
        fail(kUsage, "\"" + name + "\" is not a " + (keyword_fault ? "keyword" : "section or subsection") +
                         " name: " + error_text(code));
    }
    kxcf_rewind(f);
}

std::vector<Line> read_list(KXCF_FILE* f, const std::string& path, const Place& place) {
    std::vector<Line> lines;
    const char* keyword = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(f, place.section.c_str(), place.sub(), &keyword, 0)) != KXCF_FAIL)
        lines.push_back({keyword, value});
    if (kx_errno != KXCF_ENOKEYWORD) fail(kUnreadable, about(path, place) + error_text(kx_errno));
    return lines;
}

std::vector<std::string> values_of(const std::vector<Line>& lines, const std::string& keyword) {
    std::vector<std::string> values;
    for (const Line& l : lines)
        if (l.keyword == keyword) values.push_back(l.value);
    return values;
}

int find_list(KXCF_FILE* f, const Place& place, const std::function<bool()>& visit) {
    const std::string section = lower(place.section), subsection = lower(place.subsection);
    bool any_section = false, any_subsection = false;
    kxcf_rewind(f);
    const char* s;
    while ((s = kxcf_nextsection(f)) != KXCF_FAIL) {
        if (section != s) continue;
        any_section = true;
        if (!place.has_subsection) {
            if (visit()) return 0;
            continue;
        }
        const char* sub;
        while ((sub = kxcf_nextsubsection(f, section.c_str())) != KXCF_FAIL) {
            if (subsection != sub) continue;
            any_subsection = true;
            if (visit()) return 0;
        }
    }
    if (!any_section) return KXCF_ENOSECTION;
    return place.has_subsection && !any_subsection ? KXCF_ENOSUBSECTION : KXCF_ENOKEYWORD;
}

int enter_edit_list(KXCF_FILE* f, const Place& place) {
    return find_list(f, place, [] { return true; });
}

std::string about(const std::string& path, const Place& place, const std::string& keyword) {
    return path + ": " + place.text() + (keyword.empty() ? "" : " " + keyword) + ": ";
}

}  // namespace kxconf
