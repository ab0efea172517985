// Files shared by every program of the communication system: the event
// sequence counter and the heartbeat path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kx_comm_qzt.h"
#include "kx_comm_util.h"
#include "kx_errno.h"
#include "kx_event_fields.h"
#include "kx_files.h"
#include "kx_files_qzt.h"
#include "kx_keywords.h"
#include "kxcf.h"
#include "kxevent.h"

using kxcomm::strprintf;

namespace {

constexpr int kSearchLines = 100;
constexpr int kSearchLineLength = 79;
constexpr size_t kSequenceDigits = 8;
constexpr int kLockWait = 2;

// Where the placeholder digits of an event file lie; found is false when the
// event carries no placeholder (already numbered, or no sequence line).
struct Placeholder {
    bool found = false;
    long offset = 0;
};

// True when TEXT (a line without its newline) holds, after the line name,
// exactly eight characters from its first digit to its end that read as 0;
// OFFSET is their start.
bool is_placeholder(const std::string& text, size_t& offset) {
    size_t start = std::strlen(kxevent::kSequenceLine);
    while (start < text.size() && !std::isdigit(static_cast<unsigned char>(text[start]))) ++start;
    if (start >= text.size() || text.size() - start != kSequenceDigits) return false;
    if (std::strtol(text.c_str() + start, nullptr, 10) != 0) return false;
    offset = start;
    return true;
}

// Looks through the first short lines only, so that a large data part is
// never read: a longer line is taken in pieces, each counting as a line.
Placeholder find_placeholder(FILE* f) {
    Placeholder p;
    char buf[kSearchLineLength + 1];
    for (int i = 0; i < kSearchLines; ++i) {
        long pos = std::ftell(f);
        if (!std::fgets(buf, sizeof buf, f)) break;
        if (std::strncmp(buf, kxevent::kSequenceLine, std::strlen(kxevent::kSequenceLine)) != 0)
            continue;
        std::string text(buf);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        size_t offset = 0;
        if (is_placeholder(text, offset)) {
            p.found = true;
            p.offset = pos + static_cast<long>(offset);
        }
        break;
    }
    return p;
}

// The event file's path: an absolute path as given, else the id in the
// event directory. Empty (kx_errno set) on failure.
std::string event_path(KXCF_FILE* cfg, const char* event) {
    if (event[0] == '/') return event;
    std::string dir;
    if (!kxcomm::get_value(cfg, KXKW_SECT_FILES, nullptr, KXKW_EVENT_DIR, KXCF_NOTNULL, dir))
        return "";
    char* name = event_buildname(dir.c_str(), KX_EVENT_PREFIX, event);
    if (!name) return "";
    std::string path = name;
    std::free(name);
    return path;
}

// Replaces the counter file as a whole: the digits go to a temporary file
// that reaches the disk before it is renamed over the counter, so a crash
// leaves either the old or the new number, never an empty or partial file.
bool write_counter(const std::string& path, int number, bool newline) {
    std::string tmp = path + ".tmp";
    int fd = open_new_file(tmp.c_str(), 0666);
    if (fd < 0) return false;
    FILE* out = ::fdopen(fd, "w");
    if (!out) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    bool ok = std::fprintf(out, newline ? "%08d\n" : "%08d", number) > 0 && std::fflush(out) == 0 &&
              durable_rename(fileno(out), tmp.c_str(), path.c_str()) == 0;
    std::fclose(out);
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

// The stored number, or -1 when the file does not begin with one.
int read_counter(const std::string& path) {
    kxcomm::FilePtr in(std::fopen(path.c_str(), "r"));
    if (!in) return -1;
    int c = std::fgetc(in.get());
    if (c == EOF || !std::isdigit(c)) return -1;
    std::ungetc(c, in.get());
    int number = -1;
    if (std::fscanf(in.get(), "%8d", &number) != 1) return -1;
    return number;
}

// Draws the next number under the counter's lock; false with 2034.
bool draw_number(const std::string& seq_path, int& number) {
    kxcomm::Fd lock(open_lock_file((seq_path + ".lck").c_str(), kLockWait));
    if (!lock.ok()) {
        kx_errno = KXCOMM_ESEQFILE;
        return false;
    }
    struct stat st;
    bool exists = ::stat(seq_path.c_str(), &st) == 0;
    if (exists) {
        int stored = read_counter(seq_path);
        if (stored < 0) {
            // A counter that cannot be read is discarded; the next draw
            // starts again at the first number.
            ::unlink(seq_path.c_str());
            kx_errno = KXCOMM_ESEQFILE;
            return false;
        }
        // Eight digits at most: past the last number the counter wraps.
        number = stored >= KX_SEQUENCE_LAST ? KX_SEQUENCE_FIRST : stored + 1;
    } else {
        number = KX_SEQUENCE_FIRST;
    }
    if (!write_counter(seq_path, number, exists)) {
        kx_errno = KXCOMM_ESEQFILE;
        return false;
    }
    return true;
}

// "sequence_file" of section "files"; empty (kx_errno set) when unusable.
std::string sequence_path(KXCF_FILE* cfg) {
    std::string path;
    if (!kxcomm::get_value(cfg, KXKW_SECT_FILES, nullptr, KXKW_SEQUENCE_FILE, 0, path)) return "";
    if (path.empty() || path.size() > KXCF_MAX_PATH) {
        kx_errno = KXCOMM_ESEQNAME;
        return "";
    }
    return path;
}

}  // namespace

extern "C" {

int event_expand_sequence(const char* event) {
    if (!event || !*event) {
        kx_errno = EINVAL;
        return 1;
    }
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return 1;
    std::string path = event_path(cfg.get(), event);
    if (path.empty()) return 1;
    kxcomm::FilePtr f(std::fopen(path.c_str(), "r+"));
    if (!f) {
        kx_errno = errno;
        return 1;
    }
    Placeholder p = find_placeholder(f.get());
    if (!p.found) return 0;
    std::string seq_path = sequence_path(cfg.get());
    cfg.reset();
    if (seq_path.empty()) return 1;
    int number = 0;
    if (!draw_number(seq_path, number)) return 1;

    // Only the eight digits are overwritten; the rest of the file stays.
    std::string digits = strprintf("%08d", number);
    if (std::fseek(f.get(), p.offset, SEEK_SET) != 0 ||
        std::fwrite(digits.data(), 1, digits.size(), f.get()) != digits.size() ||
        std::fclose(f.release()) != 0) {
        kx_errno = errno ? errno : EIO;
        return 1;
    }
    return 0;
}

const char* comm_last_queued_file(void) {
    static std::string path;
    const char* cfg_name = get_config_file_name(KXKW_SECT_ADMIN_EVENT);
    if (!cfg_name) return nullptr;
    kxcomm::CfgHandle cfg(kxcf_open(cfg_name, 0));
    if (!cfg) return nullptr;
    std::string value;
    if (!kxcomm::get_value(cfg.get(), KXKW_SECT_HEARTBEAT, nullptr, KXKW_LAST_MSG_QUEUED,
                           KXCF_NOTNULL, value))
        return nullptr;
    path = value;
    return path.c_str();
}

}  // extern "C"
