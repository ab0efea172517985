// Event files: naming, header, data part, reading back, and their sequence
// numbers drawn from the shared counter file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "../../../lib/events/kx_event_fields.h"
#include "kx_comm_qzt.h"
#include "kx_comm_tree.h"
#include "kx_errno.h"
#include "kxevent.h"

using namespace kxtest;

namespace {

using Event = std::unique_ptr<KX_EVENT_REC, decltype([](KX_EVENT_REC* e) { event_destroy(e); })>;

Event begin(int data_control) {
    return Event(event_begin("admin", "error", "v1.0", "1003", "collector", "v2.1", "Something broke",
                             data_control, nullptr, 0));
}

// A well-formed header with the line NAME replaced by REPLACEMENT (empty
// drops it).
std::string header_text(const std::string& name = "", const std::string& replacement = "") {
    std::string text =
        "QZT_EVENT_ID: 42\nQZT_EVENT_SEQUENCE: 00000000\nKX_VERSION: v5.0.0\nASCII_DATE: Sun Dec  6 18:13:06 2026\n"
        "SYSTEM_UPTIME: 00001234\nEVENT_TYPE: admin\nEVENT_SUBTYPE: error\nEVENT_VERSION: v1.0\nEVENT_CODE: 7\n"
        "COLLECTOR_NAME: c v1\nSYSTEM_SERIAL_NUMBER: SN42\nSYSTEM_NAME: host\nDESCRIPTION: d\nDATA_CONTROL: 0\n";
    const std::size_t at = name.empty() ? std::string::npos : text.find(name + ": ");
    if (at != std::string::npos) text.replace(at, text.find('\n', at) + 1 - at, replacement);
    return text + "KX_DATA_START:\nDATA_LINE: x\n";
}

int read_error(const CommTree& t, const std::string& text) {
    std::string path = t.events + "/bad";
    write_file(path, text);
    kx_errno = 0;
    KX_EVENT_REC* ev = event_read(path.c_str());
    event_destroy(ev);
    return ev ? 0 : kx_errno;
}

std::string sequence_of(const std::string& path) {
    std::string text = read_file(path);
    size_t at = text.find("QZT_EVENT_SEQUENCE: ");
    return at == std::string::npos ? "" : text.substr(at + 20, 8);
}

// The reason event_expand_sequence gives for PATH: 0 when it succeeds, -1
// for a result other than 0 or 1.
int expand_error(const std::string& path) {
    kx_errno = 0;
    int rc = event_expand_sequence(path.c_str());
    return rc == 0 ? 0 : rc == 1 ? kx_errno : -1;
}

}  // namespace

TEST(EventFiles, NamesAreUniqueByTimeOrTestCounter) {
    CommTree t;
    time_t when = 1700000000;
    Event a(event_create(t.events.c_str(), "qzt_event_", when));
    Event b(event_create(t.events.c_str(), "qzt_event_", when));
    ASSERT_TRUE(a && b);
    // The second event of the same second is named for the following second.
    EXPECT_EQ(a->file_name, t.events + "/qzt_event_" + time_id_of(when));
    EXPECT_EQ(b->file_name, t.events + "/qzt_event_" + time_id_of(when + 1));
    EXPECT_STREQ(b->event_id, time_id_of(when + 1).c_str());

    t.configure("queue", channel_text("channel1"), "", "[test]\nevent_id = 7\n");
    Event c(event_create(t.events.c_str(), "qzt_event_", 0));
    Event d(event_create(t.events.c_str(), "qzt_event_", 0));
    ASSERT_TRUE(c && d);
    EXPECT_EQ(c->file_name, t.events + "/qzt_event_7");
    EXPECT_EQ(d->file_name, t.events + "/qzt_event_8");

    EXPECT_EQ(err(event_create(nullptr, "p", 0)), 3004);
    EXPECT_EQ(err(event_create((t.tree.path() + "/missing").c_str(), "p", 0)), 3005);
    EXPECT_EQ(err(event_buildname("d", nullptr, "1")), 3001);
    EXPECT_EQ(err(event_buildname(std::string(1020, 'd').c_str(), "pfx", "12")), 3002);
}

TEST(EventFiles, HeaderIsWrittenOnlyWhenCompleteAndBeforeTheDataPart) {
    CommTree t;
    Event ev(event_create(t.events.c_str(), "qzt_event_", 0));
    ASSERT_TRUE(ev);
    EXPECT_EQ(err(event_writehdr(ev.get())), 3007);
    fflush(ev->stream);
    EXPECT_EQ(read_file(ev->file_name), "");

    Event full = begin(0);
    ASSERT_TRUE(full);
    std::string text = read_file(full->file_name);
    std::string id = full->event_id;
    EXPECT_EQ(text.rfind("QZT_EVENT_ID: " + id + "\nQZT_EVENT_SEQUENCE: 00000000\nKX_VERSION: v5.0.0\nASCII_DATE: ", 0), 0u);
    EXPECT_NE(text.find("\nEVENT_TYPE: admin\nEVENT_SUBTYPE: error\nEVENT_VERSION: v1.0\nEVENT_CODE: 1003\n"
                        "COLLECTOR_NAME: collector v2.1\nSYSTEM_SERIAL_NUMBER: SN42\nSYSTEM_NAME: testhost\n"
                        "DESCRIPTION: Something broke\nDATA_CONTROL: 0\nKX_DATA_START:\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 15), "KX_DATA_START:\n");

    // A line break in a caller's text cannot forge header lines.
    Event forged(event_begin("admin", "error", "v1", "1", "c", "v1", "two\nKX_DATA_START:\nlines", 0, nullptr, 0));
    ASSERT_TRUE(forged);
    EXPECT_NE(read_file(forged->file_name).find("DESCRIPTION: two KX_DATA_START: lines\n"), std::string::npos);

    std::string data_file = t.tree.path() + "/payload";
    write_file(data_file, "file line 1\nfile line 2\n");

    // The header is written before the data part is written or refused.
    const struct {
        int control;
        const char* data;
        std::string path;
        int error;
        std::string data_part;
    } cases[] = {{0, "string part\n", data_file, 0, "string part\nfile line 1\nfile line 2\n"},
                 {0, nullptr, "", 0, ""}, {0, nullptr, t.tree.path() + "/nope", 3028, ""},
                 {1, nullptr, data_file, 0, data_file + "\n"}, {1, "text", "/x", 3029, ""},
                 {2, nullptr, "", 3027, ""}, {3, nullptr, "/x", 3026, ""}, {-2, "text", "", 3026, ""}};
    for (const auto& c : cases) {
        Event ev = begin(c.control);
        ASSERT_TRUE(ev);
        kx_errno = 0;
        EXPECT_EQ(err(event_writedata(ev.get(), c.data, c.path.empty() ? nullptr : c.path.c_str())), c.error)
            << c.control << " " << c.path;
        std::string text = read_file(ev->file_name);
        ASSERT_NE(text.find("KX_DATA_START:\n"), std::string::npos) << c.control;
        EXPECT_EQ(text.substr(text.find("KX_DATA_START:\n") + 15), c.data_part) << c.control << " " << c.path;
    }

    // A header that cannot be filled leaves no event file behind.
    std::string cfg = read_file(t.tree.config_dir() + "qzt_config");
    t.tree.write_main_config(cfg.replace(cfg.find("system_name = testhost\n"), 23, ""));
    size_t files = dir_entries(t.events).size();
    EXPECT_FALSE(begin(0));
    EXPECT_EQ(dir_entries(t.events).size(), files);
}

TEST(EventFiles, ReadBackEqualsWhatWasWritten) {
    CommTree t;
    Event w = begin(0);
    ASSERT_TRUE(w);
    ASSERT_EQ(event_writedata(w.get(), "BRN_NOTIFY: yes\nINSTALLER_NAME: Ann Lee\nEMPTY: \n", nullptr), 0);
    event_close(w.get());

    Event r(event_read(w->file_name));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->event_id, nullptr);
    const KX_EVENT_HDR* a = w->header;
    const KX_EVENT_HDR* b = r->header;
    for (const auto& line : kxevent::kHeaderLines) EXPECT_STREQ(a->*line.field, b->*line.field) << line.name;
    EXPECT_EQ(b->event_data_control, 0);

    char* v = event_find_data_line(r.get(), "INSTALLER_NAME: ", 1);
    EXPECT_STREQ(v, "Ann Lee");
    free(v);
    v = event_find_data_line(r.get(), "BRN_NOTIFY: ", 0);
    EXPECT_STREQ(v, "yes\n");
    free(v);
    EXPECT_EQ(event_find_data_line(r.get(), "EMPTY: ", 1), nullptr);
    EXPECT_EQ(event_find_data_line(r.get(), "INSTALLER_PHONE: ", 1), nullptr);
}

TEST(EventFiles, MalformedHeadersGiveTheirErrors) {
    CommTree t;
    EXPECT_EQ(read_error(t, header_text()), 0);
    EXPECT_EQ(read_error(t, header_text("DESCRIPTION")), 3025);
    EXPECT_EQ(read_error(t, header_text("KX_VERSION")), 3025);
    EXPECT_EQ(read_error(t, header_text("DATA_CONTROL", "DATA_CONTROL: 0\nDATA_CONTROL: 1\n")), 3024);
    EXPECT_EQ(read_error(t, header_text("EVENT_CODE", "EVENT_CODE: 1\nEVENT_CODE: 2\n")), 3019);
    EXPECT_EQ(read_error(t, header_text("SYSTEM_UPTIME", "SYSTEM_UPTIME: 1\nSYSTEM_UPTIME: 2\n")), 3031);
    EXPECT_EQ(read_error(t, header_text("QZT_EVENT_SEQUENCE",
                                        "QZT_EVENT_SEQUENCE: 1\nQZT_EVENT_SEQUENCE: 1\n")), 3030);
    std::string text = header_text();
    EXPECT_EQ(read_error(t, text.substr(0, text.find("KX_DATA_START"))), 3009);

    // Blanks before the colon, none after; comments and lines without a
    // colon are skipped; missing sequence and uptime read as zeros.
    std::string path = t.events + "/odd";
    std::string lax = header_text("SYSTEM_UPTIME", "");
    lax = lax.replace(lax.find("QZT_EVENT_SEQUENCE: 00000000\n"), 29, "");
    lax = lax.replace(lax.find("EVENT_TYPE: admin\n"), 18, "  EVENT_TYPE :admin  \nno colon\n# note\n\n");
    write_file(path, lax + std::string("NUL: \0tail\nHALF: ab\0cd\n", 23));
    Event ev(event_read(path.c_str()));
    ASSERT_TRUE(ev);
    EXPECT_STREQ(ev->header->event_type, "admin");
    EXPECT_STREQ(ev->header->event_uptime, "00000000");
    EXPECT_STREQ(ev->header->event_sequence, "00000000");
    EXPECT_STREQ(ev->header->event_date, "Sun Dec  6 18:13:06 2026");
    char* line = event_find_data_line(ev.get(), "DATA_LINE: ", 1);
    EXPECT_STREQ(line, "x");
    free(line);
    // A rest that starts with a NUL byte is none; one that holds one ends there.
    EXPECT_EQ(event_find_data_line(ev.get(), "NUL: ", 1), nullptr);
    EXPECT_EQ(event_find_data_line(ev.get(), "NUL: ", 0), nullptr);
    line = event_find_data_line(ev.get(), "HALF: ", 1);
    EXPECT_STREQ(line, "ab");
    free(line);
}

TEST(EventSequence, FirstAndFollowingNumbersAndCounterFiles) {
    CommTree t;
    std::string first = write_event(t, "1");
    std::string second = write_event(t, "2");
    std::string before = read_file(second);
    // A link planted at the counter's temporary name is not followed.
    std::string victim = t.events + "/victim";
    write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (t.seq + ".tmp").c_str()), 0);

    ASSERT_EQ(event_expand_sequence(first.c_str()), 0);
    EXPECT_EQ(sequence_of(first), "00000100");
    EXPECT_EQ(read_file(t.seq), "00000100");

    ASSERT_EQ(event_expand_sequence("2"), 0);  // an id in the event directory
    EXPECT_EQ(read_file(second), before.replace(before.find("00000000"), 8, "00000101"));
    EXPECT_EQ(read_file(t.seq), "00000101\n");

    // Numbered events are left alone and draw nothing.
    ASSERT_EQ(event_expand_sequence(first.c_str()), 0);
    std::string numbered = write_event(t, "3", "data\n", "00000042");
    ASSERT_EQ(event_expand_sequence(numbered.c_str()), 0);
    EXPECT_EQ(sequence_of(numbered), "00000042");
    EXPECT_EQ(read_file(t.seq), "00000101\n");
    EXPECT_TRUE(path_exists(t.seq + ".lck"));

    // A link at the lock name is refused: no number is drawn.
    ASSERT_EQ(unlink((t.seq + ".lck").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (t.seq + ".lck").c_str()), 0);
    std::string refused = write_event(t, "4");
    EXPECT_EQ(expand_error(refused), KXCOMM_ESEQFILE);
    EXPECT_EQ(sequence_of(refused), "00000000");
    EXPECT_EQ(read_file(victim), "precious\n");
}

TEST(EventSequence, NonPlaceholdersAndBadCounters) {
    CommTree t;
    std::string plain = t.events + "/plain";
    write_file(plain, "QZT_EVENT_ID: 9\nKX_DATA_START:\n");
    EXPECT_EQ(event_expand_sequence(plain.c_str()), 0);
    EXPECT_EQ(read_file(plain), "QZT_EVENT_ID: 9\nKX_DATA_START:\n");
    EXPECT_FALSE(path_exists(t.seq));

    std::string short_digits = write_event(t, "4", "data\n", "0000000");
    EXPECT_EQ(event_expand_sequence(short_digits.c_str()), 0);
    EXPECT_EQ(sequence_of(short_digits), "0000000\n");

    EXPECT_EQ(expand_error(t.events + "/absent"), ENOENT);

    // A counter that is not a number is discarded; the next draw restarts.
    write_file(t.seq, "abc\n");
    std::string ev = write_event(t, "5");
    EXPECT_EQ(expand_error(ev), 2034);
    EXPECT_EQ(sequence_of(ev), "00000000");
    EXPECT_FALSE(path_exists(t.seq));
    EXPECT_EQ(event_expand_sequence(ev.c_str()), 0);
    EXPECT_EQ(sequence_of(ev), "00000100");

    // Past eight digits the counter wraps instead of widening the line.
    write_file(t.seq, "99999999\n");
    std::string wrap = write_event(t, "6");
    EXPECT_EQ(event_expand_sequence(wrap.c_str()), 0);
    EXPECT_EQ(sequence_of(wrap), "00000100");
    EXPECT_EQ(read_file(t.seq), "00000100\n");

    t.configure("queue", channel_text("channel1"), "", "");
    std::string cfg = read_file(t.tree.config_dir() + "qzt_config");
    cfg.replace(cfg.find("sequence_file = "), 16 + t.seq.size(), "sequence_file =");
    t.tree.write_main_config(cfg);
    EXPECT_EQ(expand_error(write_event(t, "7")), 2033);
}

TEST(EventSequence, ConcurrentProcessesDrawDistinctNumbersWithoutGaps) {
    CommTree t;
    constexpr int kProcesses = 4, kEach = 15;
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kEach; ++i) write_event(t, std::to_string(p * 100 + i));
    for (int p = 0; p < kProcesses; ++p) {
        if (fork() == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i)
                failures += event_expand_sequence(std::to_string(p * 100 + i).c_str());
            _exit(failures);
        }
    }
    ASSERT_EQ(reap_children(), std::vector<int>(kProcesses, 0));

    std::set<int> numbers;
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kEach; ++i)
            numbers.insert(std::stoi(sequence_of(t.events + "/qzt_event_" + std::to_string(p * 100 + i))));
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(*numbers.begin(), 100);
    EXPECT_EQ(*numbers.rbegin(), 100 + kProcesses * kEach - 1);
    EXPECT_EQ(read_file(t.seq), "00000159\n");
}
