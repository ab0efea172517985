// Event sequence numbers drawn from the shared counter file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "kx_comm_tree.h"
#include "kx_comm_qzt.h"
#include "kx_errno.h"
#include "kxevent.h"

using namespace kxtest;

namespace {

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

TEST(EventSequence, FirstAndFollowingNumbersAndCounterBytes) {
    CommTree t;
    std::string first = write_event(t, "1");
    std::string second = write_event(t, "2");
    std::string before = read_file(second);

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
    EXPECT_FALSE(path_exists(t.seq + ".tmp"));
    EXPECT_TRUE(path_exists(t.seq + ".lck"));
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
    std::vector<int> statuses = reap_children();
    ASSERT_EQ(statuses.size(), static_cast<size_t>(kProcesses));
    for (int s : statuses) EXPECT_EQ(s, 0);

    std::set<int> numbers;
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kEach; ++i)
            numbers.insert(std::stoi(sequence_of(t.events + "/qzt_event_" + std::to_string(p * 100 + i))));
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(*numbers.begin(), 100);
    EXPECT_EQ(*numbers.rbegin(), 100 + kProcesses * kEach - 1);
    EXPECT_EQ(read_file(t.seq), "00000159\n");
}

TEST(EventSequence, LinkPlantedAtTheCounterFilesIsNotFollowed) {
    CommTree t;
    std::string victim = t.events + "/victim";
    write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (t.seq + ".tmp").c_str()), 0);
    std::string event = write_event(t, "1");
    ASSERT_EQ(event_expand_sequence(event.c_str()), 0);
    EXPECT_EQ(read_file(t.seq), "00000100");
    EXPECT_EQ(read_file(victim), "precious\n");

    // A link at the lock name is refused: no number is drawn.
    ASSERT_EQ(unlink((t.seq + ".lck").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (t.seq + ".lck").c_str()), 0);
    event = write_event(t, "2");
    EXPECT_EQ(expand_error(event), KXCOMM_ESEQFILE);
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(sequence_of(event), "00000000");
}
