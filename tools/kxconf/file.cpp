// Opening a file for reading, the messages of what went wrong, and the
// walks over keyword lists.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "kx_errno.h"
#include "file_lines.h"
#include "kx_files.h"
#include "kxconf.h"

namespace kxconf {
namespace {

constexpr const char* kMainConfigName = KX_MAIN_CONFIG_NAME;


}  // namespace

void fail(int status, const std::string& message) { throw Failure{status, message}; }

Failure open_failure(const std::string& path, const std::string& name, int code) {
    if (kxcf_lineno > 0 || code == KXCF_EFILESIZE) {
        const int line = kxcf_lineno;
        kx_syntax::FileLines lines;
        lines.read(path);
        return {kUnreadable, name + (line > 0 ? ":" + std::to_string(line) : "") + ": " +
                                 kx_syntax::parse_fault(code, lines.text(line), error_text(code))};
    }
    return {kFileError, "cannot open " + name + ": " + error_text(code)};
}

std::string not_regular(const std::string& path) {
    return "cannot open " + path + ": not a regular file";
}

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
                                     "no account \"kestrix\"): ") + error_text(KXCF_ENOTFOUND) +
                             ": give the file with -f FILE or set KESTRIX_HOME");
    return std::string(dir) + kMainConfigName;
}

Handle open_for_reading(const std::string& path, const std::string& name, int flags) {
    kxcf_lineno = 0;
    KXCF_FILE* f = kxcf_open(path.c_str(), flags & ~KXCF_UPDATE);
    if (!f) throw open_failure(path, name, kx_errno);
    return Handle(f);
}

Handle open_for_reading(const Source& source, int flags) {
    return open_for_reading(source.path(), source.name(), flags);
}

Source::Source(const Options& options) : name_(target_path(options)) {
    if (name_ == kStandardInput) {
        name_ = kx_syntax::kStandardInputName;
        copy_ = std::make_unique<kx_syntax::ScratchCopy>();
        if (const int err = copy_->copy_from(STDIN_FILENO))
            fail(kFileError, "cannot read " + name_ + ": " + error_text(err));
        return;
    }
    struct stat st {};
    if (stat(name_.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return;
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) fail(kFileError, not_regular(name_));
    // A pipe without a writer reads as empty instead of waiting for one.
    const int fd = open(name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0) fail(kFileError, "cannot open " + name_ + ": " + error_text(errno));
    copy_ = std::make_unique<kx_syntax::ScratchCopy>();
    const int err = copy_->copy_from(fd);
    close(fd);
    if (err) fail(kFileError, "cannot read " + name_ + ": " + error_text(err));
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

std::string about(const std::string& path, const Place& place, const std::string& keyword) {
    return path + ": " + place.text() + (keyword.empty() ? "" : " " + keyword) + ": ";
}

}  // namespace kxconf
