// Reading event files back: the header into a KX_EVENT_HDR, and lookups in
// the data part.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "kx_guards.h"
#include "kx_main_config.h"
#include "kx_text.h"
#include "kx_errno.h"
#include "kx_event_fields.h"
#include "kx_parse.h"
#include "kxevent.h"

namespace {

constexpr size_t kLineCount = std::size(kxevent::kHeaderLines);

struct LineGuard {
    char* p = nullptr;
    ~LineGuard() { std::free(p); }
};

// What the reader has seen so far.
struct ReadState {
    bool seen[kLineCount] = {};
    bool data_control_seen = false;
};

// Stores one "name: value" pair; false with kx_errno set on a duplicate.
bool store_line(KX_EVENT_HDR* hdr, ReadState& st, const char* name, char*& value) {
    if (std::strcmp(name, kxevent::kDataControlLine) == 0) {
        if (st.data_control_seen) {
            kx_errno = KXEV_EDUP_DATA_CONTROL;
            return false;
        }
        st.data_control_seen = true;
        hdr->event_data_control = std::atoi(value);
        return true;
    }
    for (size_t i = 0; i < kLineCount; ++i) {
        const auto& line = kxevent::kHeaderLines[i];
        if (std::strcmp(name, line.name) != 0) continue;
        if (st.seen[i]) {
            kx_errno = line.duplicate_error;
            return false;
        }
        st.seen[i] = true;
        hdr->*line.field = value;
        value = nullptr;  // now owned by the header
        return true;
    }
    return true;  // unknown names are ignored
}

// At the data start line: the required lines must all be there; a missing
// sequence or uptime reads as the placeholder. 0 or a kx_errno value.
int finish_header(KX_EVENT_HDR* hdr, const ReadState& st) {
    if (!st.data_control_seen) return KXEV_EINCOMPLETE;
    for (size_t i = 0; i < kLineCount; ++i)
        if (kxevent::kHeaderLines[i].required && !st.seen[i]) return KXEV_EINCOMPLETE;
    for (size_t i = 0; i < kLineCount; ++i) {
        char*& field = hdr->*kxevent::kHeaderLines[i].field;
        if (!field && !kx_internal::replace_c(&field, KX_EVENT_NO_SEQUENCE)) return kx_errno;
    }
    return 0;
}

// Reads header lines up to KX_DATA_START; 0 or a kx_errno value.
int parse_header(KX_EVENT_REC* ev) {
    ReadState st;
    for (;;) {
        LineGuard raw;
        int rc = Readline(ev->stream, &raw.p);
        if (rc != 0) return rc;
        char* line = ltrim(rtrim(raw.p));
        if (*line == '\0' || *line == '#') continue;
        LineGuard name, value;
        int split = GetStringsFromLine(line, &name.p, &value.p);
        if (split == 1) continue;
        if (split != 0) return KXEV_ESPLIT;
        if (std::strcmp(name.p, kxevent::kDataStartLine) == 0) {
            ev->data_offset = std::ftell(ev->stream);
            return finish_header(ev->header, st);
        }
        if (!store_line(ev->header, st, name.p, value.p)) return kx_errno;
    }
}

}  // namespace

extern "C" {

KX_EVENT_REC* event_read(const char* path) {
    if (!path) {
        kx_errno = EINVAL;
        return nullptr;
    }
    FILE* stream = std::fopen(path, "r");
    if (!stream) {
        kx_errno = errno;
        return nullptr;
    }
    auto* ev = static_cast<KX_EVENT_REC*>(std::calloc(1, sizeof(KX_EVENT_REC)));
    if (ev) ev->header = static_cast<KX_EVENT_HDR*>(std::calloc(1, sizeof(KX_EVENT_HDR)));
    if (!ev || !ev->header || !(ev->file_name = kx_internal::dup_c(path))) {
        kx_errno = ENOMEM;
        std::fclose(stream);
        event_free(ev);
        return nullptr;
    }
    ev->stream = stream;
    ev->header->event_data_control = -1;
    int rc = parse_header(ev);
    if (rc != 0) {
        kx_errno = rc;
        event_destroy(ev);
        return nullptr;
    }
    return ev;
}

char* event_find_data_line(KX_EVENT_REC* event, const char* prefix, int strip_newline) {
    if (!event || !event->stream || !prefix) {
        kx_errno = KXEV_ENOTCREATED;
        return nullptr;
    }
    if (std::fseek(event->stream, event->data_offset, SEEK_SET) != 0) {
        kx_errno = errno;
        return nullptr;
    }
    size_t prefix_len = std::strlen(prefix);
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    std::string rest;
    bool found = false;
    while ((n = getline(&buf, &cap, event->stream)) >= 0) {
        if (std::strncmp(buf, prefix, prefix_len) != 0) continue;
        rest.assign(buf + prefix_len, static_cast<size_t>(n) - prefix_len);
        found = true;
        break;
    }
    bool read_error = !found && std::ferror(event->stream);
    int saved = errno;
    std::free(buf);
    if (read_error) {
        kx_errno = saved;
        return nullptr;
    }
    if (!found) return nullptr;
    // The caller gets a C string, which ends at the first NUL byte: a rest
    // that starts with one is as empty as no rest at all.
    rest.resize(std::strlen(rest.c_str()));
    if (strip_newline == 1 && !rest.empty() && rest.back() == '\n') rest.pop_back();
    if (rest.empty()) return nullptr;
    return kx_internal::dup_c(rest);
}

}  // extern "C"
