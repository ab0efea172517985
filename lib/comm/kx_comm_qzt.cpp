// The outbound communication configuration: channel and communication type
// subsections of "communication_outbound", read and validated, and the
// edits that switch them.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kx_comm_qzt.h"
#include "kx_comm_util.h"
#include "kx_dbg.h"
#include "kx_decode_size.h"
#include "kx_errno.h"
#include "kx_files_qzt.h"
#include "kx_keywords.h"
#include "kx_msg.h"
#include "kxevent.h"
#include "kxcf.h"

using kxcomm::announce;
using kxcomm::strprintf;
namespace text = kxcomm::text;

namespace {

struct Capability {
    const char* word;
    int code;
};

constexpr Capability kPriorities[] = {
    {"batch", KXCOMM_BATCH}, {"normal", KXCOMM_NORMAL}, {"urgent", KXCOMM_URGENT}, {nullptr, 0}};
constexpr Capability kReliabilities[] = {
    {"besteffort", KXCOMM_BESTEFFORT}, {"guaranteed", KXCOMM_GUARANTEED}, {nullptr, 0}};
constexpr Capability kBandwidths[] = {
    {"low", KXCOMM_LOW}, {"medium", KXCOMM_MEDIUM}, {"high", KXCOMM_HIGH}, {nullptr, 0}};

enum class Kind { Word, Address, Capability, Size, Order, Number };

struct ChannelKeyword {
    const char* name;
    Kind kind;
    char* COMM_CHANNEL::*text;     // Word, Address
    int COMM_CHANNEL::*number;     // Capability, Order, Number
    const Capability* words;       // Capability
};

// In the order in which a missing keyword is reported.
constexpr ChannelKeyword kChannelKeywords[] = {
    {KXKW_TYPE, Kind::Word, &COMM_CHANNEL::type, nullptr, nullptr},
    {KXKW_STATE, Kind::Word, &COMM_CHANNEL::state, nullptr, nullptr},
    {KXKW_ADDRESS, Kind::Address, &COMM_CHANNEL::address, nullptr, nullptr},
    {KXKW_PRIORITY, Kind::Capability, nullptr, &COMM_CHANNEL::priority, kPriorities},
    {KXKW_RELIABILITY, Kind::Capability, nullptr, &COMM_CHANNEL::reliability, kReliabilities},
    {KXKW_BANDWIDTH, Kind::Capability, nullptr, &COMM_CHANNEL::bandwidth, kBandwidths},
    {KXKW_MAX_EVENT_SIZE, Kind::Size, nullptr, nullptr, nullptr},
    {KXKW_CHANNEL_ORDER, Kind::Order, nullptr, &COMM_CHANNEL::channel_order, nullptr},
    {KXKW_ENCRYPTION, Kind::Number, nullptr, &COMM_CHANNEL::encryption, nullptr},
    {KXKW_COMPRESSION, Kind::Number, nullptr, &COMM_CHANNEL::compression, nullptr},
    {KXKW_ARMOR, Kind::Number, nullptr, &COMM_CHANNEL::armor, nullptr},
};
constexpr size_t kChannelKeywordCount = std::size(kChannelKeywords);

struct TypeKeyword {
    const char* name;
    char* COMM_TYPE::*field;
};

constexpr TypeKeyword kTypeKeywords[] = {
    {KXKW_STATE, &COMM_TYPE::state},
    {KXKW_LOCKFILE, &COMM_TYPE::lockfile},
    {KXKW_QUEUE, &COMM_TYPE::queue},
    {KXKW_PROGRAM, &COMM_TYPE::program},
};

constexpr int kLockedRetries = 50;
constexpr const char* kSetAllDone = "Changed all of the encryption keywords in qzt_config file";
constexpr const char* kSetAllFailed =
    "WARNING: Could not change some or all of the encryption keywords, the qzt_config file may be corrupted\n";
constexpr const char* kSetAllNoChannel =
    "WARNING: A channel could not be found in the qzt_config file, it may be corrupted\n";

void reject(int number, const char* format, const char* channel, const char* keyword,
            const std::string& value) {
    kx_errno = number;
    announce(number, strprintf(format, channel, keyword, value.c_str()));
}

// Validates and stores one keyword of a channel; false after announcing.
bool store_channel_value(COMM_CHANNEL* out, const char* channel, const ChannelKeyword& kw,
                         const std::string& value) {
    switch (kw.kind) {
    case Kind::Word:
    case Kind::Address:
        if (value.empty()) {
            reject(KXCOMM_EVALUE, text::kNullValue, channel, kw.name, value);
            return false;
        }
        if (kw.kind == Kind::Address && value == "SITE_SPECIFIC") {
            reject(KXCOMM_EVALUE, text::kInvalidValue, channel, kw.name, value);
            return false;
        }
        return kxcomm::replace_c(&(out->*kw.text), kw.kind == Kind::Word ? kxcomm::lower_ascii(value) : value);
    case Kind::Capability: {
        std::string word = kxcomm::lower_ascii(value);
        for (const Capability* c = kw.words; c->word; ++c) {
            if (word == c->word) {
                out->*kw.number = c->code;
                return true;
            }
        }
        reject(KXCOMM_EVALUE, text::kInvalidValue, channel, kw.name, word);
        return false;
    }
    case Kind::Size: {
        int size = kx_decode_size(value.c_str());
        if (size <= 0) {
            reject(KXCOMM_EVALUE, text::kInvalidValue, channel, kw.name, value);
            return false;
        }
        out->max_event_size = static_cast<unsigned>(size);
        return true;
    }
    case Kind::Order:
    case Kind::Number:
        out->*kw.number = std::atoi(value.c_str());
        if (kw.kind == Kind::Order && out->*kw.number == 0) {
            reject(KXCOMM_EVALUE, text::kInvalidValue, channel, kw.name, value);
            return false;
        }
        return true;
    }
    return false;
}

// Walks the channel's keywords; false after a rejection or a broken walk.
bool read_channel_keywords(KXCF_FILE* cfg, const char* channel, COMM_CHANNEL* out,
                           bool seen[kChannelKeywordCount]) {
    const char* keyword = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(cfg, KXKW_SECT_COMM_OUT, channel, &keyword, KXCF_NOTNULL)) !=
           KXCF_FAIL) {
        std::string v = value;
        for (size_t i = 0; i < kChannelKeywordCount; ++i) {
            if (std::strcmp(keyword, kChannelKeywords[i].name) != 0) continue;
            if (!store_channel_value(out, channel, kChannelKeywords[i], v)) return false;
            seen[i] = true;
        }
    }
    return kx_errno == KXCF_ENOKEYWORD;
}

// Channels announce a missing section with the lookup's error number,
// communication types with 0.
bool section_present(KXCF_FILE* cfg, bool with_errno) {
    if (kxcf_findsection(cfg, KXKW_SECT_COMM_OUT) == 0) return true;
    announce(with_errno ? kx_errno : 0, strprintf(text::kMissingSection, KXKW_SECT_COMM_OUT));
    return false;
}

void announce_missing(const char* owner, const char* keyword) {
    kx_errno = KXCOMM_EMISSING;
    announce(KXCOMM_EMISSING, strprintf(text::kMissingKeyword, owner, keyword));
}

int set_retrying(KXCF_FILE* cfg, const char* subsection, const char* keyword, const char* value) {
    for (int i = 0; i < kLockedRetries; ++i) {
        if (kxcf_setvar(cfg, KXKW_SECT_COMM_OUT, subsection, keyword, value) == 0) return 0;
        if (kx_errno != KXCF_ELOCKED) return -1;
    }
    return -1;
}

// Names of the channel subsections, copied: an edit re-reads the file.
std::vector<std::string> channel_names(KXCF_FILE* cfg) {
    std::vector<std::string> names;
    if (kxcf_findsection(cfg, KXKW_SECT_COMM_OUT) != 0) return names;
    const char* name;
    while ((name = kxcf_nextsubsection(cfg, KXKW_SECT_COMM_OUT)) != KXCF_FAIL)
        if (std::strncmp(name, KXKW_CHANNEL_PREFIX, std::strlen(KXKW_CHANNEL_PREFIX)) == 0)
            names.emplace_back(name);
    return names;
}

}  // namespace

extern "C" {

void comm_free_channel(COMM_CHANNEL* channel) {
    if (!channel) return;
    std::free(channel->name);
    std::free(channel->type);
    std::free(channel->state);
    std::free(channel->address);
    *channel = COMM_CHANNEL{};
}

void comm_free_type(COMM_TYPE* type) {
    if (!type) return;
    std::free(type->name);
    std::free(type->state);
    std::free(type->lockfile);
    std::free(type->queue);
    std::free(type->program);
    *type = COMM_TYPE{};
}

int comm_read_channel(const char* channel, COMM_CHANNEL* out) {
    if (!channel || !out) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    *out = COMM_CHANNEL{};
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return -1;
    bool ok = section_present(cfg.get(), true) && (out->name = kxcomm::dup_c(channel));
    bool seen[kChannelKeywordCount] = {};
    ok = ok && read_channel_keywords(cfg.get(), channel, out, seen);
    for (size_t i = 0; ok && i < kChannelKeywordCount; ++i) {
        if (!seen[i]) {
            announce_missing(channel, kChannelKeywords[i].name);
            ok = false;
        }
    }
    if (!ok) comm_free_channel(out);
    return ok ? 0 : -1;
}

int comm_read_type(const char* type, COMM_TYPE* out) {
    if (!type || !out) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    *out = COMM_TYPE{};
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return -1;
    if (!section_present(cfg.get(), false)) return -1;
    bool ok = (out->name = kxcomm::dup_c(type)) != nullptr;
    const char* keyword = nullptr;
    const char* value;
    while (ok && (value = kxcf_nextvar(cfg.get(), KXKW_SECT_COMM_OUT, type, &keyword, 0)) != KXCF_FAIL)
        for (const TypeKeyword& kw : kTypeKeywords)
            if (std::strcmp(keyword, kw.name) == 0) ok = kxcomm::replace_c(&(out->*kw.field), value);
    if (ok && kx_errno != KXCF_ENOKEYWORD) {
        announce(0, strprintf(text::kMissingType, type));
        ok = false;
    }
    for (const TypeKeyword& kw : kTypeKeywords) {
        if (ok && !(out->*kw.field)) {
            announce_missing(type, kw.name);
            ok = false;
        }
    }
    if (!ok) comm_free_type(out);
    return ok ? 0 : -1;
}

int comm_set_keyword(const char* subsection, const char* keyword, const char* value) {
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return -1;
    return set_retrying(cfg.get(), subsection, keyword, value);
}

int comm_set_state_on(const char* subsection) {
    return comm_set_keyword(subsection, KXKW_STATE, "on");
}

int comm_set_state_off(const char* subsection) {
    return comm_set_keyword(subsection, KXKW_STATE, "off");
}

int comm_set_encryption_all(const char* value) {
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return -1;
    std::vector<std::string> names = channel_names(cfg.get());
    if (names.empty()) {
        announce(kx_errno, kSetAllNoChannel);
        return -1;
    }
    for (const std::string& name : names) {
        if (set_retrying(cfg.get(), name.c_str(), KXKW_ENCRYPTION, value) != 0) {
            announce(kx_errno, kSetAllFailed);
            return -1;
        }
    }
    kx_log_message(nullptr, kxcomm::kLogTag, kxcomm::kAnnouncer, kSetAllDone);
    return 0;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Sending an event: number it, choose a channel, queue a message for it.

namespace {

constexpr const char* kNullEventId = "Internal Error, eventid is NULL";
constexpr const char* kNoSequence = "Unable to expand sequence in event '%s'\n";
constexpr const char* kNoSerial =
    "System Serial Number keyword missing or not set\nNo Messages queued or sent";
constexpr const char* kNoEventDir = "Missing Keyword - Event Directory '%s'";
constexpr const char* kBadEventName = "Failed to build event name for event id %s";
constexpr const char* kQueued = "Event '%s' queued for transmission to Brannock, msg id '%s'";
constexpr const char* kNoHeartbeat = "Couldn't find last_queued_file ' '";
constexpr const char* kHeartbeatFailed = "Couldn't touch last_queued_file '%s'";

// An empty group of the request takes its default level.
int apply_flag_defaults(int flags) {
    if ((flags & (KXCOMM_BATCH | KXCOMM_NORMAL | KXCOMM_URGENT)) == 0) flags |= KXCOMM_NORMAL;
    if ((flags & (KXCOMM_BESTEFFORT | KXCOMM_GUARANTEED)) == 0) flags |= KXCOMM_BESTEFFORT;
    if ((flags & (KXCOMM_LOW | KXCOMM_MEDIUM | KXCOMM_HIGH)) == 0) flags |= KXCOMM_MEDIUM;
    return flags;
}

int apply_option_defaults(int options) {
    if ((options & (KXCOMM_REPORT_SHUTDOWN | KXCOMM_QUIET_SHUTDOWN)) == 0)
        options |= KXCOMM_QUIET_SHUTDOWN;
    return options;
}

// The force bit lies inside the priority mask, so a forced request is met
// by no channel.
bool meets(const COMM_CHANNEL& c, int flags) {
    return static_cast<unsigned>(c.priority) >= static_cast<unsigned>(flags & KXCOMM_PRIORITY_MASK) &&
           static_cast<unsigned>(c.reliability) >= static_cast<unsigned>(flags & KXCOMM_RELIABILITY_MASK) &&
           static_cast<unsigned>(c.bandwidth) >= static_cast<unsigned>(flags & KXCOMM_BANDWIDTH_MASK);
}

bool is_on(const char* state) { return state && std::strcmp(state, "on") == 0; }

// >0 when A ranks above B, <0 below, 0 for a tie.
int rank(const COMM_CHANNEL& a, const COMM_CHANNEL& b) {
    if (is_on(a.state) != is_on(b.state)) return is_on(a.state) ? 1 : -1;
    if (a.priority != b.priority) return a.priority > b.priority ? 1 : -1;
    if (a.reliability != b.reliability) return a.reliability > b.reliability ? 1 : -1;
    if (a.bandwidth != b.bandwidth) return a.bandwidth > b.bandwidth ? 1 : -1;
    return 0;
}

// A channel with its type, released together.
struct Candidate {
    COMM_CHANNEL channel{};
    COMM_TYPE type{};
    bool present = false;
    Candidate() = default;
    Candidate(const Candidate&) = delete;
    Candidate& operator=(const Candidate&) = delete;
    ~Candidate() { clear(); }
    void clear() {
        comm_free_channel(&channel);
        comm_free_type(&type);
        present = false;
    }
    void take(Candidate& other) {
        clear();
        channel = other.channel;
        type = other.type;
        present = other.present;
        other.channel = COMM_CHANNEL{};
        other.type = COMM_TYPE{};
        other.present = false;
    }
    // Reads a channel subsection and its type; false when either is rejected
    // or neither is switched on.
    bool read(const char* name) {
        clear();
        if (comm_read_channel(name, &channel) != 0) return false;
        present = true;
        return comm_read_type(channel.type, &type) == 0 && (is_on(channel.state) || is_on(type.state));
    }
};

// Whether a usable channel CAND replaces the current CHOICE.
bool better(const Candidate& choice, const Candidate& cand, int flags, long size) {
    if (!choice.present) return true;
    bool fits = cand.channel.max_event_size > static_cast<unsigned long>(size);
    if (!fits && !(flags & KXCOMM_FORCE)) return false;
    bool cand_meets = meets(cand.channel, flags);
    bool choice_meets = meets(choice.channel, flags);
    if (cand_meets) return !choice_meets || rank(choice.channel, cand.channel) > 0;
    return !choice_meets && rank(choice.channel, cand.channel) < 0;
}

// Walks the channel subsections in file order; false when the walk broke.
bool choose_channel(KXCF_FILE* cfg, int flags, long size, Candidate& choice) {
    const char* name;
    while ((name = kxcf_nextsubsection(cfg, KXKW_SECT_COMM_OUT)) != KXCF_FAIL) {
        if (std::strncmp(name, KXKW_CHANNEL_PREFIX, std::strlen(KXKW_CHANNEL_PREFIX)) != 0) continue;
        Candidate cand;
        if (cand.read(name) && better(choice, cand, flags, size)) choice.take(cand);
    }
    return kx_errno == KXCF_ENOSUBSECTION;
}

// What kxcomm_send_event needs from the main configuration file.
struct SendSettings {
    std::string serial;
    std::string state;
    std::string event_path;
    long event_size = -1;
};

// Reads the settings; 1 queue, 0 shut down (nothing to do), -1 failure.
int read_settings(KXCF_FILE* cfg, const char* event_id, int flags, SendSettings& s) {
    if (!kxcomm::get_value(cfg, KXKW_SECT_SYSTEM, nullptr, KXKW_SYSTEM_SERIAL, 0, s.serial) ||
        s.serial.empty()) {
        kx_errno = KXCOMM_EVALUE;
        announce(KXCOMM_EVALUE, kNoSerial);
        return -1;
    }
    if (!kxcomm::get_value(cfg, KXKW_SECT_COMM_OUT, nullptr, KXKW_STATE, KXCF_LOWER | KXCF_NOTNULL,
                           s.state)) {
        announce(kx_errno, strprintf(text::kMissingState, KXKW_STATE));
        return -1;
    }
    s.state = s.state.substr(0, 25);
    if (s.state != "send" && s.state != "queue" && !(flags & KXCOMM_FORCE)) return 0;
    std::string dir;
    if (!kxcomm::get_value(cfg, KXKW_SECT_FILES, nullptr, KXKW_EVENT_DIR, KXCF_NOTNULL, dir)) {
        announce(kx_errno, strprintf(kNoEventDir, KXKW_EVENT_DIR));
        return -1;
    }
    char* path = event_buildname(dir.c_str(), KX_EVENT_PREFIX, event_id);
    if (!path) {
        announce(kx_errno, strprintf(kBadEventName, event_id));
        return -1;
    }
    s.event_path = path;
    std::free(path);
    s.event_size = event_size(s.event_path.c_str());
    if (kxcf_findsection(cfg, KXKW_SECT_COMM_OUT) != 0) {
        announce(kx_errno, strprintf(text::kMissingSection, KXKW_SECT_COMM_OUT));
        return -1;
    }
    return 1;
}

bool fill_header(MSG_HEADER& h, const char* event_id, const SendSettings& s, const Candidate& c,
                 int options) {
    const COMM_CHANNEL& ch = c.channel;
    h.priority = ch.priority;
    h.reliability = ch.reliability;
    h.bandwidth = ch.bandwidth;
    h.event_size = s.event_size;
    h.flags = (options & KXCOMM_ADMIN_EVENT) ? KXCOMM_FLAG_ADMIN : 0;
    return (h.event_id = kxcomm::dup_c(event_id)) && (h.serial_no = kxcomm::dup_c(s.serial)) &&
           (h.channel_name = kxcomm::dup_c(ch.name)) && (h.channel_type = kxcomm::dup_c(ch.type)) &&
           (h.address_to = kxcomm::dup_c(ch.address)) &&
           (h.fmt_e = kxcomm::dup_c(strprintf("%d", ch.encryption))) &&
           (h.fmt_c = kxcomm::dup_c(strprintf("%d", ch.compression))) &&
           (h.fmt_a = kxcomm::dup_c(strprintf("%d", ch.armor)));
}

// The heartbeat's modification time is the time of the last queued message.
void touch_heartbeat() {
    const char* path = comm_last_queued_file();
    if (!path) {
        announce(kx_errno, kNoHeartbeat);
        return;
    }
    // Touched, never written through a link planted at its name.
    kxcomm::Fd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok()) {
        kx_errno = errno;
        announce(kx_errno, strprintf(kHeartbeatFailed, path));
    }
}

// Queues the message for the chosen channel and starts its program.
int queue_message(const char* event_id, const SendSettings& s, const Candidate& c, int flags,
                  int options) {
    MSG_HEADER h{};
    struct Release {
        MSG_HEADER* h;
        ~Release() { msg_free(h); }
    } release{&h};
    if (!fill_header(h, event_id, s, c, options)) return -1;
    if ((options & KXCOMM_ADMIN_EVENT) && msg_read_admin_fields(&h, s.event_path.c_str()) != 0)
        return -1;
    if (msg_queue(&h, c.type.queue, KXCOMM_MSG_PREFIX) != 0) return -1;
    kx_log_message(nullptr, kxcomm::kLogTag, kxcomm::kAnnouncer,
                   strprintf(kQueued, event_id, h.message_id).c_str());
    // A heartbeat problem is announced but does not keep the program from
    // being started for the message that is now queued.
    touch_heartbeat();
    if (s.state == "send" || (flags & KXCOMM_FORCE))
        return comm_launch_channel(c.type.program, c.type.lockfile);
    return 0;
}

}  // namespace

extern "C" {

int comm_channel_meets(const COMM_CHANNEL* channel, int msg_flags) {
    if (!channel) return -1;
    return meets(*channel, apply_flag_defaults(msg_flags)) ? 0 : -1;
}

int kxcomm_send_event(const char* event_id, int msg_flags, int send_options) {
    if (!event_id) {
        announce(0, kNullEventId);
        return -1;
    }
    if (event_expand_sequence(event_id) != 0) {
        announce(0, strprintf(kNoSequence, event_id));
        return -1;
    }
    int flags = apply_flag_defaults(msg_flags);
    int options = apply_option_defaults(send_options);
    kxcomm::CfgHandle cfg = kxcomm::open_main_config();
    if (!cfg) return -1;
    SendSettings settings;
    int go = read_settings(cfg.get(), event_id, flags, settings);
    if (go == 0 && (options & KXCOMM_REPORT_SHUTDOWN)) {
        kx_errno = KXCOMM_ESHUTDOWN;
        return -1;
    }
    if (go <= 0) return go;
    Candidate choice;
    if (!choose_channel(cfg.get(), flags, settings.event_size, choice)) return -1;
    cfg.reset();
    if (!choice.present) {
        kx_errno = KXCOMM_ENOCHANNEL;
        return -1;
    }
    return queue_message(event_id, settings, choice, flags, options);
}

}  // extern "C"
