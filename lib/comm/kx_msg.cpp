// Message header files in the queue directories of the communication types.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "ev_admin.h"
#include "kx_comm_qzt.h"
#include "kx_files.h"
#include "kx_comm_util.h"
#include "kx_errno.h"
#include "kx_msg.h"
#include "kxevent.h"

using kxcomm::strprintf;

namespace {

constexpr int kQueueAttempts = 250;
constexpr int kMissingAdminLine = 8014;  // "Missing keyword"

enum class Kind { Text, Int, Long };
// Always: written and required; Optional: written when present; ReadOnly:
// understood when read, never written.
enum class Use { Always, Optional, ReadOnly };

struct MsgLine {
    const char* name;
    Kind kind;
    Use use;
    char* MSG_HEADER::*text;
    int MSG_HEADER::*number;
    long MSG_HEADER::*big;
};

constexpr MsgLine kMsgLines[] = {
    {"MESSAGE_ID", Kind::Text, Use::Always, &MSG_HEADER::message_id, nullptr, nullptr},
    {"EVENT_ID", Kind::Text, Use::Always, &MSG_HEADER::event_id, nullptr, nullptr},
    {"SERIAL_NO", Kind::Text, Use::Always, &MSG_HEADER::serial_no, nullptr, nullptr},
    {"CREATE_VALUE", Kind::Long, Use::Always, nullptr, nullptr, &MSG_HEADER::create_value},
    {"CREATE_DATE", Kind::Text, Use::Always, &MSG_HEADER::create_date, nullptr, nullptr},
    {"CHANNEL_NAME", Kind::Text, Use::Always, &MSG_HEADER::channel_name, nullptr, nullptr},
    {"CHANNEL_TYPE", Kind::Text, Use::Always, &MSG_HEADER::channel_type, nullptr, nullptr},
    {"ADDRESS_TO", Kind::Text, Use::Always, &MSG_HEADER::address_to, nullptr, nullptr},
    {"PRIORITY", Kind::Int, Use::Always, nullptr, &MSG_HEADER::priority, nullptr},
    {"RELIABILITY", Kind::Int, Use::Always, nullptr, &MSG_HEADER::reliability, nullptr},
    {"BANDWIDTH", Kind::Int, Use::Always, nullptr, &MSG_HEADER::bandwidth, nullptr},
    {"FMT_E", Kind::Text, Use::Always, &MSG_HEADER::fmt_e, nullptr, nullptr},
    {"FMT_C", Kind::Text, Use::Always, &MSG_HEADER::fmt_c, nullptr, nullptr},
    {"FMT_A", Kind::Text, Use::Always, &MSG_HEADER::fmt_a, nullptr, nullptr},
    {"FLAGS", Kind::Int, Use::Always, nullptr, &MSG_HEADER::flags, nullptr},
    {"DATA_SIZE", Kind::Long, Use::ReadOnly, nullptr, nullptr, &MSG_HEADER::data_size},
    {"DATA_PATH", Kind::Text, Use::ReadOnly, &MSG_HEADER::data_path, nullptr, nullptr},
    {"BRN_NOTIFY", Kind::Text, Use::Optional, &MSG_HEADER::brn_notify, nullptr, nullptr},
    {"INSTALLER_NAME", Kind::Text, Use::Optional, &MSG_HEADER::installer_name, nullptr, nullptr},
    {"INSTALLER_PHONE", Kind::Text, Use::Optional, &MSG_HEADER::installer_phone, nullptr, nullptr},
};
constexpr size_t kMsgLineCount = std::size(kMsgLines);

bool required_text_missing(const MSG_HEADER* h) {
    for (const MsgLine& line : kMsgLines)
        if (line.use == Use::Always && line.kind == Kind::Text && !(h->*line.text)) return true;
    return false;
}

std::string line_value(const MSG_HEADER* h, const MsgLine& line) {
    switch (line.kind) {
    case Kind::Text: return h->*line.text;
    case Kind::Int: return strprintf("%d", h->*line.number);
    case Kind::Long: return strprintf("%ld", h->*line.big);
    }
    return "";
}

bool store_msg_value(MSG_HEADER* h, const MsgLine& line, const std::string& value) {
    switch (line.kind) {
    case Kind::Text: return kxcomm::replace_c(&(h->*line.text), value);
    case Kind::Int: h->*line.number = std::atoi(value.c_str()); return true;
    case Kind::Long: h->*line.big = std::atol(value.c_str()); return true;
    }
    return false;
}

// One "NAME=value" line: false when it does not have that form.
bool split_msg_line(std::string text, std::string& name, std::string& value) {
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    size_t eq = text.find('=', start);
    if (eq == std::string::npos || eq == start || eq + 1 >= text.size()) return false;
    name = text.substr(start, eq - start);
    value = text.substr(eq + 1);
    return true;
}

bool blank(const std::string& s) {
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c))) return false;
    return true;
}

// Reads every line of IN into H; false with kx_errno set.
bool read_msg_lines(FILE* in, MSG_HEADER* h, bool seen[kMsgLineCount]) {
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool ok = true;
    while (ok && (n = getline(&buf, &cap, in)) >= 0) {
        std::string text(buf, static_cast<size_t>(n));
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (blank(text)) continue;
        std::string name, value;
        if (!split_msg_line(text, name, value)) {
            kx_errno = KXCOMM_EMSGHDR;
            ok = false;
            break;
        }
        for (size_t i = 0; i < kMsgLineCount; ++i) {
            if (name != kMsgLines[i].name) continue;
            ok = store_msg_value(h, kMsgLines[i], value);
            seen[i] = true;
        }
    }
    std::free(buf);
    return ok;
}

bool file_present(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Writes the header lines of HEADER to OUT and closes it; 0, or -1 with
// the reason in kx_errno.
int write_header_lines(FILE* out, const MSG_HEADER* header) {
    for (const MsgLine& line : kMsgLines) {
        if (line.use == Use::ReadOnly) continue;
        if (line.use == Use::Optional && !(header->*line.text)) continue;
        std::fprintf(out, "%s=%s\n", line.name, line_value(header, line).c_str());
    }
    bool ok = std::fflush(out) == 0 && !std::ferror(out);
    int saved = errno;
    ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        kx_errno = saved ? saved : (errno ? errno : EIO);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

char* msg_buildname(const char* dir, const char* prefix, const char* message_id) {
    return kxcomm::join_name(dir, prefix, message_id, KXCF_MAX_PATH, EINVAL, KXCOMM_EPATHLEN);
}

int msg_write_header(const char* path, const MSG_HEADER* header) {
    if (!path || !header || required_text_missing(header)) {
        kx_errno = EINVAL;
        return -1;
    }
    FILE* out = std::fopen(path, "w");
    if (!out) {
        kx_errno = errno;
        return -1;
    }
    return write_header_lines(out, header);
}

int msg_queue(MSG_HEADER* header, const char* queue_dir, const char* prefix) {
    if (!header || !queue_dir || !prefix) {
        kx_errno = EINVAL;
        return -1;
    }
    time_t when = std::time(nullptr);
    int last_error = EEXIST;
    // A message id is taken by creating its temporary file exclusively; an
    // id whose message file exists already moves on by one second.
    for (int attempt = 0; attempt < kQueueAttempts; ++attempt, ++when) {
        std::string id = kxcomm::time_id(when);
        char* base_c = msg_buildname(queue_dir, prefix, id.c_str());
        if (!base_c) return -1;
        std::string base = base_c;
        std::free(base_c);
        std::string tmp = base + KXMSG_TMP_SUFFIX;
        std::string msg = base + KXMSG_SUFFIX;
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        if (file_present(msg)) {
            ::close(fd);
            ::unlink(tmp.c_str());
            continue;
        }
        header->create_value = static_cast<long>(when);
        // The header goes through the descriptor that created the file, so
        // nothing put at the name meanwhile is written into. A header that
        // cannot be written stays as the ".tmp" file, which no transmitting
        // program picks up.
        int reason = 0;
        if (!kxcomm::replace_c(&header->message_id, id) ||
            !kxcomm::replace_c(&header->create_date, kxcomm::ctime_text(when)))
            reason = ENOMEM;
        else if (required_text_missing(header))
            reason = EINVAL;
        FILE* out = reason ? nullptr : ::fdopen(fd, "w");
        if (!out) {
            kx_errno = reason ? reason : errno;
            ::close(fd);
            return -1;
        }
        if (write_header_lines(out, header) != 0) return -1;
        // The message appears under its name whole, or not at all, also
        // after a crash.
        if (durable_rename(-1, tmp.c_str(), msg.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return -1;
        }
        return 0;
    }
    kx_errno = last_error;
    return -1;
}

MSG_HEADER* msg_read_header(const char* dir, const char* name) {
    if (!dir || !name) {
        kx_errno = EINVAL;
        return nullptr;
    }
    std::string path = strprintf("%s/%s", dir, name);
    kxcomm::FilePtr in(std::fopen(path.c_str(), "r"));
    if (!in) {
        kx_errno = errno;
        return nullptr;
    }
    auto* h = static_cast<MSG_HEADER*>(std::calloc(1, sizeof(MSG_HEADER)));
    if (!h) {
        kx_errno = ENOMEM;
        return nullptr;
    }
    bool seen[kMsgLineCount] = {};
    bool ok = read_msg_lines(in.get(), h, seen);
    for (size_t i = 0; ok && i < kMsgLineCount; ++i) {
        if (kMsgLines[i].use == Use::Always && !seen[i]) {
            kx_errno = KXCOMM_EMSGHDR;
            ok = false;
        }
    }
    if (!ok) {
        msg_free(h);
        std::free(h);
        return nullptr;
    }
    return h;
}

void msg_free(MSG_HEADER* header) {
    if (!header) return;
    for (const MsgLine& line : kMsgLines)
        if (line.kind == Kind::Text) std::free(header->*line.text);
    *header = MSG_HEADER{};
}

long event_size(const char* path) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0) {
        kx_errno = path ? errno : EINVAL;
        return -1;
    }
    KX_EVENT_REC* ev = event_read(path);
    if (!ev) return -1;
    long size = static_cast<long>(st.st_size);
    int d = ev->header->event_data_control;
    if (d == KX_DATA_FILE || d == KX_DATA_FILE_ALT) {
        char* data_path = event_find_data_line(ev, "", 1);
        struct stat data_st;
        if (!data_path || ::stat(data_path, &data_st) != 0) {
            kx_errno = data_path ? errno : ENOENT;
            size = -1;
        } else {
            size += static_cast<long>(data_st.st_size);
        }
        std::free(data_path);
    }
    event_destroy(ev);
    return size;
}

int msg_read_admin_fields(MSG_HEADER* header, const char* event_path) {
    if (!header || !event_path) {
        kx_errno = EINVAL;
        return -1;
    }
    KX_EVENT_REC* ev = event_read(event_path);
    if (!ev) return -1;
    char* brn = event_find_data_line(ev, EV_LABEL_BRN_NOTIFY, 1);
    char* name = event_find_data_line(ev, EV_LABEL_INSTALLER_NAME, 1);
    char* phone = event_find_data_line(ev, EV_LABEL_INSTALLER_PHONE, 1);
    event_destroy(ev);
    if (brn && name && phone) {
        std::free(header->brn_notify);
        std::free(header->installer_name);
        std::free(header->installer_phone);
        header->brn_notify = brn;
        header->installer_name = name;
        header->installer_phone = phone;
        return 0;
    }
    kx_errno = kMissingAdminLine;
    std::free(brn);
    std::free(name);
    std::free(phone);
    return -1;
}

}  // extern "C"
