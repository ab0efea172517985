// Event files: unique creation, the header, the data part and the one-call
// event_generate that logs the event and hands it to message queueing.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kx_comm_qzt.h"
#include "kx_guards.h"
#include "kx_main_config.h"
#include "kx_text.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_event_fields.h"
#include "kx_files.h"
#include "kx_keywords.h"
#include "kxcf.h"
#include "kxevent.h"

using kx_internal::dup_c;
using kx_internal::strprintf;

namespace {

constexpr int kCreateAttempts = 250;
constexpr size_t kCopyBlock = 1024;

// Test mode: "event_id" of section "test" replaces the time as the counter.
// False (kx_errno set) when the configuration file cannot be read.
bool read_id_counter(long event_time, long& counter, bool& test_mode) {
    kx_internal::CfgHandle cfg = kx_internal::open_main_config();
    if (!cfg) return false;
    std::string value;
    test_mode = kx_internal::get_value(cfg.get(), KXKW_SECT_TEST, nullptr, KXKW_TEST_EVENT_ID,
                                  KXCF_NOTNULL, value);
    if (test_mode)
        counter = std::strtol(value.c_str(), nullptr, 10);
    else
        counter = event_time != 0 ? event_time : static_cast<long>(std::time(nullptr));
    return true;
}

std::string format_event_id(long counter, bool test_mode) {
    if (test_mode) return strprintf("%ld", counter);
    return kx_internal::time_id(static_cast<time_t>(counter));
}

// The handle of a freshly created file: id in field 1 and in the handle,
// the placeholder sequence, everything else unset.
KX_EVENT_REC* new_handle(FILE* stream, const std::string& path, const std::string& id) {
    auto* ev = static_cast<KX_EVENT_REC*>(std::calloc(1, sizeof(KX_EVENT_REC)));
    auto* hdr = static_cast<KX_EVENT_HDR*>(std::calloc(1, sizeof(KX_EVENT_HDR)));
    if (!ev || !hdr) {
        kx_errno = ENOMEM;
        std::free(ev);
        std::free(hdr);
        return nullptr;
    }
    ev->header = hdr;
    hdr->event_data_control = -1;
    ev->file_name = dup_c(path);
    ev->event_id = dup_c(id);
    hdr->event_qzt_id = dup_c(id);
    hdr->event_sequence = dup_c(KX_EVENT_NO_SEQUENCE);
    if (!ev->file_name || !ev->event_id || !hdr->event_qzt_id || !hdr->event_sequence) {
        event_free(ev);
        return nullptr;
    }
    ev->stream = stream;
    return ev;
}

// Seconds since system start, from the elapsed real time of times().
std::string uptime_text() {
    struct tms t;
    clock_t ticks = times(&t);
    long per_second = sysconf(_SC_CLK_TCK);
    if (per_second <= 0) per_second = 100;
    return strprintf("%08ld", static_cast<long>(ticks) / per_second);
}

// Fills *field from the configuration when it is still unset.
bool fill_from_config(KXCF_FILE* cfg, char** field, const char* keyword) {
    if (*field) return true;
    std::string value;
    if (!kx_internal::get_value(cfg, KXKW_SECT_SYSTEM, nullptr, keyword, KXCF_NOTNULL, value))
        return false;
    *field = dup_c(value);
    return *field != nullptr;
}

bool fill_text(char** field, const std::string& value) {
    if (*field) return true;
    *field = dup_c(value);
    return *field != nullptr;
}

bool header_complete(const KX_EVENT_HDR* hdr) {
    for (const auto& line : kxevent::kHeaderLines)
        if (!(hdr->*line.field)) return false;
    return hdr->event_data_control != -1;
}

bool write_failed(FILE* stream) {
    if (std::fflush(stream) == 0 && !std::ferror(stream)) return false;
    kx_errno = errno ? errno : EIO;
    return true;
}

// Appends the contents of PATH to the event stream.
int copy_data_file(FILE* out, const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        kx_errno = KXEV_ESTAT;
        return -1;
    }
    kx_internal::FilePtr in(std::fopen(path, "r"));
    if (!in) {
        kx_errno = errno;
        return -1;
    }
    char block[kCopyBlock];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in.get())) > 0) {
        if (std::fwrite(block, 1, n, out) != n) {
            kx_errno = errno ? errno : EIO;
            return -1;
        }
    }
    if (std::ferror(in.get())) {
        kx_errno = errno ? errno : EIO;
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

int event_get_dir(char* buffer) {
    if (!buffer) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    kx_internal::CfgHandle cfg = kx_internal::open_main_config();
    if (!cfg) return -1;
    std::string dir;
    if (!kx_internal::get_value(cfg.get(), KXKW_SECT_FILES, nullptr, KXKW_EVENT_DIR, KXCF_NOTNULL, dir))
        return -1;
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);  // values hold at most 1152 characters
    return 0;
}

char* event_buildname(const char* dir, const char* prefix, const char* event_id) {
    return kx_internal::join_name(dir, prefix, event_id, KXCF_MAX_PATH, KXEV_EBUILDNAME, KXEV_ETOOLONG);
}

KX_EVENT_REC* event_create(const char* dir, const char* prefix, long event_time) {
    if (!dir || !prefix) {
        kx_errno = KXEV_ECREATEPARAM;
        return nullptr;
    }
    long counter = 0;
    bool test_mode = false;
    if (!read_id_counter(event_time, counter, test_mode)) return nullptr;

    // Uniqueness rests on the exclusive create alone: a taken name moves the
    // id on by one (a second, or one in test mode).
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt, ++counter) {
        std::string id = format_event_id(counter, test_mode);
        char* name = event_buildname(dir, prefix, id.c_str());
        if (!name) return nullptr;
        std::string path = name;
        std::free(name);
        // The stream is made from the descriptor that created the file, so
        // nothing put at the name meanwhile is ever opened instead.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        FILE* stream = ::fdopen(fd, "w");
        if (!stream) {
            kx_errno = errno;
            ::close(fd);
            return nullptr;
        }
        KX_EVENT_REC* ev = new_handle(stream, path, id);
        if (!ev) std::fclose(stream);
        return ev;
    }
    kx_errno = KXEV_ECREATE;
    return nullptr;
}

int event_inithdr(KX_EVENT_REC* event) {
    if (!event || !event->header) {
        kx_errno = KXEV_ENOTCREATED;
        return -1;
    }
    KX_EVENT_HDR* hdr = event->header;
    kx_internal::CfgHandle cfg = kx_internal::open_main_config();
    if (!cfg) return -1;
    bool ok = fill_from_config(cfg.get(), &hdr->event_kx_version, KXKW_KESTRIX_VERSION) &&
              fill_text(&hdr->event_date, kx_internal::ctime_text(std::time(nullptr))) &&
              fill_from_config(cfg.get(), &hdr->event_sys_serial, KXKW_SYSTEM_SERIAL) &&
              fill_from_config(cfg.get(), &hdr->event_sys_name, KXKW_SYSTEM_NAME) &&
              fill_text(&hdr->event_uptime, uptime_text());
    return ok ? 0 : -1;
}

int event_writehdr(KX_EVENT_REC* event) {
    if (!event || !event->header || !event->stream) {
        kx_errno = KXEV_ENOTCREATED;
        return -1;
    }
    const KX_EVENT_HDR* hdr = event->header;
    if (!header_complete(hdr)) {
        kx_errno = KXEV_ENOTFILLED;
        return -1;
    }
    for (const auto& line : kxevent::kHeaderLines)
        std::fprintf(event->stream, "%s%c %s\n", line.name, ':', hdr->*line.field);
    std::fprintf(event->stream, "%s%c %d\n", kxevent::kDataControlLine, ':', hdr->event_data_control);
    std::fprintf(event->stream, "%s%c\n", kxevent::kDataStartLine, ':');
    return write_failed(event->stream) ? -1 : 0;
}

KX_EVENT_REC* event_begin(const char* type, const char* subtype, const char* version,
                          const char* code, const char* collector_name,
                          const char* collector_version, const char* description,
                          int data_control, const char* prefix, long event_time) {
    char dir[KXCF_MAX_VALUE + 1];
    if (event_get_dir(dir) != 0) return nullptr;
    const char* use_prefix = prefix && *prefix ? prefix : KX_EVENT_PREFIX;
    KX_EVENT_REC* ev = event_create(dir, use_prefix, event_time);
    if (!ev) return nullptr;
    KX_EVENT_HDR* hdr = ev->header;
    // Each header value is one line: a line break in a caller's text would
    // end the header early or forge a header line, so it becomes a blank.
    auto text = [](const char* s) {
        std::string t = s ? s : "";
        for (char& c : t)
            if (c == '\n' || c == '\r') c = ' ';
        return t;
    };
    bool ok = event_inithdr(ev) == 0 &&
              (hdr->event_type = dup_c(text(type))) != nullptr &&
              (hdr->event_subtype = dup_c(text(subtype))) != nullptr &&
              (hdr->event_version = dup_c(text(version))) != nullptr &&
              (hdr->event_code = dup_c(text(code))) != nullptr &&
              (hdr->event_collector = dup_c(strprintf("%s %s", text(collector_name).c_str(),
                                                      text(collector_version).c_str()))) != nullptr &&
              (hdr->event_description = dup_c(text(description))) != nullptr;
    if (ok) {
        hdr->event_data_control = data_control;
        ok = event_writehdr(ev) == 0;
    }
    if (!ok) {
        // Nothing usable was written: an event without its header is junk
        // that no reader could parse, so it does not stay behind.
        int saved = kx_errno;
        ::unlink(ev->file_name);
        event_destroy(ev);
        kx_errno = saved;
        return nullptr;
    }
    return ev;
}

int event_writedata(KX_EVENT_REC* event, const char* data_string, const char* data_path) {
    if (!event || !event->header || !event->stream) {
        kx_errno = KXEV_ENOTCREATED;
        return -1;
    }
    int d = event->header->event_data_control;
    if (d == KX_DATA_INLINE && !data_string && !data_path) return 0;
    if (d < KX_DATA_INLINE || d > KX_DATA_FILE_ALT) {
        kx_errno = KXEV_EDATACONTROL;
        return -1;
    }
    if (d > KX_DATA_INLINE && !data_path) {
        kx_errno = KXEV_ENODATAPATH;
        return -1;
    }
    if (d > KX_DATA_INLINE && data_string) {
        kx_errno = KXEV_EDATASTRING;
        return -1;
    }
    int rc = 0;
    if (d == KX_DATA_INLINE) {
        if (data_string) std::fputs(data_string, event->stream);
        if (data_path) rc = copy_data_file(event->stream, data_path);
    } else {
        std::fprintf(event->stream, "%s\n", data_path);
    }
    if (write_failed(event->stream)) return -1;
    return rc;
}

void event_log_created(KX_EVENT_REC* event) {
    if (!event || !event->header) return;
    const KX_EVENT_HDR* hdr = event->header;
    auto text = [](const char* s) { return s ? s : ""; };
    std::string message = strprintf("%s created. Type: %s Subtype: %s Code: %s",
                                    text(hdr->event_qzt_id), text(hdr->event_type),
                                    text(hdr->event_subtype), text(hdr->event_code));
    kx_log_message(nullptr, "EVENT", text(hdr->event_collector), message.c_str());
}

int event_generate(const char* type, const char* subtype, const char* version,
                   const char* code, const char* collector_name,
                   const char* collector_version, const char* description,
                   int data_control, const char* data_string, const char* data_path,
                   int msg_flags, int send_options, const char* prefix, long event_time) {
    KX_EVENT_REC* ev = event_begin(type, subtype, version, code, collector_name,
                                   collector_version, description, data_control, prefix,
                                   event_time);
    if (!ev) return -1;
    int rc = event_writedata(ev, data_string, data_path);
    if (rc == 0) {
        event_log_created(ev);
        event_close(ev);
        rc = kxcomm_send_event(ev->event_id, msg_flags, send_options);
    }
    event_destroy(ev);
    return rc;
}

void event_close(KX_EVENT_REC* event) {
    if (!event || !event->stream) return;
    // On disk, name included, before the event is queued or announced: a
    // message must never outlive the event it was made from.
    if (std::fflush(event->stream) == 0 && ::fsync(fileno(event->stream)) == 0)
        sync_parent_directory(event->file_name);
    std::fclose(event->stream);
    event->stream = nullptr;
}

void event_free(KX_EVENT_REC* event) {
    if (!event) return;
    if (KX_EVENT_HDR* hdr = event->header) {
        for (const auto& line : kxevent::kHeaderLines) std::free(hdr->*line.field);
        std::free(hdr);
    }
    std::free(event->file_name);
    std::free(event->event_id);
    std::free(event);
}

void event_destroy(KX_EVENT_REC* event) {
    event_close(event);
    event_free(event);
}

}  // extern "C"
