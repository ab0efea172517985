// Outbound communication: its configuration, size values and command
// splitting; queueing events: channel choice, communication states, message
// files and the launch of the transmitting program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "kx_comm_qzt.h"
#include "kx_comm_tree.h"
#include "kx_decode_size.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_msg.h"

using namespace kxtest;

namespace {

// Queues a fresh event with FLAGS and returns the chosen channel ("" when
// nothing was queued); the queue is emptied again.
std::string chosen(const CommTree& t, const std::string& channels, int flags) {
    static int next_id = 0;
    t.configure("queue", channels);
    std::string id = std::to_string(++next_id);
    write_event(t, id);
    if (kxcomm_send_event(id.c_str(), flags, 0) != 0) return "";
    std::vector<std::string> names = dir_entries(t.queue);
    if (names.size() != 1) return "wrong count";
    MSG_HEADER* h = msg_read_header(t.queue.c_str(), names[0].c_str());
    std::string channel = h ? h->channel_name : "unreadable";
    msg_free(h);
    free(h);
    unlink((t.queue + "/" + names[0]).c_str());
    reap_children();  // a forced request starts the program
    return channel;
}

// Reads CHANNEL; the error number and any log text it announced.
int channel_error(const CommTree& t, const std::string& channels, const std::string& channel,
                  COMM_CHANNEL* out = nullptr) {
    t.configure("queue", channels);
    COMM_CHANNEL local{};
    COMM_CHANNEL* c = out ? out : &local;
    kx_errno = 0;
    int rc = comm_read_channel(channel.c_str(), c);
    if (!out) comm_free_channel(&local);
    return rc == 0 ? 0 : kx_errno;
}

// The words of COMMAND after its program's path; none when it is refused.
std::vector<std::string> split(const std::string& command) {
    char* path = nullptr;
    char** argv = nullptr;
    std::vector<std::string> words;
    if (comm_split_command(command.c_str(), &path, &argv) == 0) {
        words.push_back(std::string("path=") + path);
        for (char** a = argv; *a; ++a) words.push_back(*a);
    }
    comm_free_command(path, argv);
    return words;
}

}  // namespace

TEST(CommSend, ChannelChoice) {
    CommTree t;
    std::string urgent = channel_text("channel_u", "urgent");
    std::string normal = channel_text("channel_n", "normal");
    std::string batch = channel_text("channel_b", "batch");
    // The least capable channel that meets the request.
    EXPECT_EQ(chosen(t, urgent + normal + batch, KXCOMM_NORMAL), "channel_n");
    EXPECT_EQ(chosen(t, urgent + normal, 0), "channel_n");
    // None adequate: the most capable one.
    EXPECT_EQ(chosen(t, batch + normal, KXCOMM_URGENT), "channel_n");
    EXPECT_EQ(chosen(t, normal + batch, KXCOMM_NORMAL | KXCOMM_GUARANTEED), "channel_n");
    // Ties keep the earlier channel; a forced request takes the most capable.
    EXPECT_EQ(chosen(t, channel_text("channel_a") + channel_text("channel_b"), 0), "channel_a");
    EXPECT_EQ(chosen(t, normal + urgent + batch, KXCOMM_FORCE), "channel_u");
    // Size: the first usable channel is taken whatever its limit; later ones
    // only when the event fits, unless forced.
    std::string tiny_batch = channel_text("channel_t", "batch", "besteffort", "medium", "1b");
    EXPECT_EQ(chosen(t, channel_text("channel_small", "normal", "besteffort", "medium", "1b"), 0), "channel_small");
    EXPECT_EQ(chosen(t, urgent + tiny_batch, KXCOMM_BATCH), "channel_u");
    EXPECT_EQ(chosen(t, batch + channel_text("channel_tu", "urgent", "besteffort", "medium", "1b"),
                     KXCOMM_FORCE), "channel_tu");
    // A channel that is off is used only through its type, and ranks below
    // one that is on.
    std::string off_urgent = channel_text("channel_off", "urgent", "besteffort", "medium", "100k", "off");
    EXPECT_EQ(chosen(t, batch + off_urgent, KXCOMM_URGENT), "channel_off");
    EXPECT_EQ(chosen(t, batch + off_urgent, KXCOMM_FORCE), "channel_b");
    t.configure("queue", off_urgent, "", "", "off");
    write_event(t, "solo");
    EXPECT_EQ(err(kxcomm_send_event("solo", 0, 0)), 2006);
    // Rejected channels are skipped.
    std::string broken = channel_text("channel_x", "warp");
    EXPECT_EQ(chosen(t, broken + batch, KXCOMM_URGENT), "channel_b");

    COMM_CHANNEL c{};
    c.priority = KXCOMM_NORMAL;
    c.reliability = KXCOMM_BESTEFFORT;
    c.bandwidth = KXCOMM_MEDIUM;
    EXPECT_EQ(comm_channel_meets(&c, 0), 0);
    EXPECT_EQ(comm_channel_meets(&c, KXCOMM_HIGH), -1);
    EXPECT_EQ(comm_channel_meets(&c, KXCOMM_FORCE), -1);
}

TEST(CommSend, MessageFileStatesAndTheProgramStartedOnce) {
    CommTree t;
    write_event(t, "e1");
    ASSERT_EQ(kxcomm_send_event("e1", KXCOMM_URGENT, 0), 0);
    std::vector<std::string> names = dir_entries(t.queue);
    ASSERT_EQ(names.size(), 1u);
    std::string text = read_file(t.queue + "/" + names[0]);
    size_t at = text.find("CREATE_VALUE=");
    ASSERT_NE(at, std::string::npos);
    time_t created = std::atol(text.c_str() + at + 13);
    std::string id = time_id_of(created);
    char date[64];
    ctime_r(&created, date);
    date[strlen(date) - 1] = '\0';
    EXPECT_EQ(names[0], "qzt_msg_" + id + ".msg");
    EXPECT_EQ(text, "MESSAGE_ID=" + id + "\nEVENT_ID=e1\nSERIAL_NO=SN42\nCREATE_VALUE=" +
                        std::to_string(created) + "\nCREATE_DATE=" + date +
                        "\nCHANNEL_NAME=channel1\nCHANNEL_TYPE=modem\nADDRESS_TO=vendor@example.com\n"
                        "PRIORITY=2\nRELIABILITY=16\nBANDWIDTH=512\nFMT_E=1\nFMT_C=2\nFMT_A=3\nFLAGS=0\n");
    EXPECT_NE(t.log_text().find("Event 'e1' queued for transmission to Brannock, msg id '" + id + "'"),
              std::string::npos);
    EXPECT_TRUE(path_exists(t.heartbeat));
    // State "queue" starts nothing.
    EXPECT_EQ(reap_children(), std::vector<int>{});
    EXPECT_FALSE(path_exists(t.started));

    t.configure("off");
    write_event(t, "e2");
    EXPECT_EQ(kxcomm_send_event("e2", 0, 0), 0);
    EXPECT_EQ(err(kxcomm_send_event("e2", 0, KXCOMM_REPORT_SHUTDOWN)), 2007);
    EXPECT_EQ(dir_entries(t.queue).size(), 1u);

    EXPECT_EQ(kxcomm_send_event(nullptr, 0, 0), -1);
    EXPECT_NE(t.log_text().find("Internal Error, eventid is NULL"), std::string::npos);
    EXPECT_EQ(kxcomm_send_event("missing", 0, 0), -1);
    EXPECT_NE(t.log_text().find("Unable to expand sequence in event 'missing'"), std::string::npos);

    // State "send" starts the transmitting program.
    t.configure("send");
    write_event(t, "s1");
    ASSERT_EQ(kxcomm_send_event("s1", 0, 0), 0);
    EXPECT_EQ(reap_children(), std::vector<int>{0});
    EXPECT_EQ(read_file(t.started), "run\n");

    // A running instance holds the lock: nothing is started.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    if (fork() == 0) {
        char c = open_lock_file(t.lock.c_str(), 0) >= 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    write_event(t, "s2");
    EXPECT_EQ(kxcomm_send_event("s2", 0, 0), 0);
    EXPECT_EQ(comm_launch_channel(t.default_program().c_str(), t.lock.c_str()), 0);
    (void)!write(release[1], "x", 1);
    EXPECT_EQ(reap_children(), std::vector<int>{0});  // only the lock holder
    EXPECT_EQ(read_file(t.started), "run\n");
    EXPECT_EQ(dir_entries(t.queue).size(), 3u);  // e1, s1 and s2
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);

    // Forced: queued and started although the state is "queue".
    t.configure("queue");
    write_event(t, "s3");
    ASSERT_EQ(kxcomm_send_event("s3", KXCOMM_FORCE, 0), 0);
    EXPECT_EQ(reap_children(), std::vector<int>{0});
    EXPECT_EQ(read_file(t.started), "run\nrun\n");

    // Without a heartbeat path the message still goes out.
    unlink((t.tree.config_dir() + "admin_event").c_str());
    t.configure("send");
    write_event(t, "s4");
    ASSERT_EQ(kxcomm_send_event("s4", 0, 0), 0);
    EXPECT_EQ(reap_children(), std::vector<int>{0});
    EXPECT_EQ(read_file(t.started), "run\nrun\nrun\n");
    EXPECT_NE(t.log_text().find("Couldn't find last_queued_file ' '"), std::string::npos);
}

TEST(CommSend, AdminEventsAndQueueFiles) {
    CommTree t;
    write_event(t, "a1", "BRN_NOTIFY: yes\nINSTALLER_NAME: Ann\nINSTALLER_PHONE: 555-1234\n");
    ASSERT_EQ(kxcomm_send_event("a1", 0, KXCOMM_ADMIN_EVENT), 0);
    std::vector<std::string> names = dir_entries(t.queue);
    ASSERT_EQ(names.size(), 1u);
    std::string text = read_file(t.queue + "/" + names[0]);
    EXPECT_NE(text.find("FLAGS=4\nBRN_NOTIFY=yes\nINSTALLER_NAME=Ann\nINSTALLER_PHONE=555-1234\n"), std::string::npos);
    EXPECT_EQ(text.find("DATA_"), std::string::npos);  // no DATA_SIZE, no DATA_PATH

    MSG_HEADER* h = msg_read_header(t.queue.c_str(), names[0].c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->installer_phone, "555-1234");
    EXPECT_EQ(h->bandwidth, 512);
    unlink((t.queue + "/" + names[0]).c_str());

    write_event(t, "a2", "BRN_NOTIFY: yes\nINSTALLER_NAME: Ann\n");
    EXPECT_EQ(kxcomm_send_event("a2", 0, KXCOMM_ADMIN_EVENT), -1);
    EXPECT_TRUE(dir_entries(t.queue).empty());

    // Two messages queued at once get ids one second apart.
    ASSERT_EQ(msg_queue(h, t.queue.c_str(), "qzt_msg_"), 0);
    long first = h->create_value;
    ASSERT_EQ(msg_queue(h, t.queue.c_str(), "qzt_msg_"), 0);
    EXPECT_EQ(h->create_value, first + 1);
    EXPECT_EQ(dir_entries(t.queue).size(), 2u);
    // A header that cannot be written gives no message file, only its ".tmp".
    free(h->serial_no);
    h->serial_no = nullptr;
    EXPECT_EQ(msg_queue(h, t.queue.c_str(), "qzt_msg_"), -1);
    names = dir_entries(t.queue);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2].substr(names[2].size() - 4), ".tmp");
    msg_free(h);
    free(h);

    std::string bad = t.queue + "/bad.msg";
    write_file(bad, "MESSAGE_ID=1\nEVENT_ID=2\n");
    EXPECT_EQ(err(msg_read_header(t.queue.c_str(), "bad.msg")), 2008);
    EXPECT_EQ(err(msg_buildname(std::string(1000, 'q').c_str(), "qzt_msg_", "123456_123456789012345")), 2005);
}

// The heartbeat and the channel program's lock file live in directories that
// the product's account writes: links planted there are not written through.
TEST(CommSend, LaunchFailuresAndLinksAtTheHeartbeatAndChannelLock) {
    CommTree t;
    std::string victim = t.tree.path() + "/victim";
    write_file(victim, "precious\n");
    make_dirs(t.tree.path() + "/hb");
    ASSERT_EQ(symlink(victim.c_str(), t.heartbeat.c_str()), 0);
    write_event(t, "e1");
    ASSERT_EQ(kxcomm_send_event("e1", 0, 0), 0);  // queued; only the touch fails
    EXPECT_NE(t.log_text().find("Couldn't touch last_queued_file '" + t.heartbeat + "'"), std::string::npos);
    // A program that cannot be started: its child, which closed what it
    // inherited, announces it in the log this process keeps open.
    EXPECT_EQ(comm_launch_channel("noslash arg", t.lock.c_str()), 0);
    EXPECT_EQ(reap_children(), std::vector<int>{1});
    EXPECT_NE(t.log_text().find("Unable to execute Comm Channel Program - 'noslash arg'"), std::string::npos);
    std::string lock = t.tree.path() + "/planted.lck";
    ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0);
    EXPECT_EQ(err(comm_launch_channel("/bin/true", lock.c_str())), ELOOP);
    EXPECT_EQ(read_file(victim), "precious\n");

    // A lock file that cannot be made.
    lock = t.tree.path() + "/nodir/x.lck";
    EXPECT_EQ(err(comm_launch_channel("/bin/true", lock.c_str())), ENOENT);
    EXPECT_NE(t.log_text().find("Cannot access Lock File - '" + lock + "'"), std::string::npos);
    EXPECT_TRUE(reap_children().empty());
}

TEST(CommConfig, DecodeSize) {
    struct Case {
        const char* text;
        int result;
        int error;
    } cases[] = {{"10k", 10240, 0},        {"2M", 2097152, 0},     {"512 b", 512, 0},
                 {"\t7\tK", 7168, 0},      {"2047m", 2146435072, 0}, {"2097151k", 2147482624, 0},
                 {"100", -1, 1035},        {"5x", -1, 1035},       {"x5k", -1, 1034},
                 {"", -1, 1034},           {"2048m", -1, 8011},    {"2097152k", -1, 8011},
                 {"99999999999b", -1, 8011}, {"0k", 0, 0}};
    for (const Case& c : cases) {
        kx_errno = 0;
        EXPECT_EQ(kx_decode_size(c.text), c.result) << c.text;
        EXPECT_EQ(kx_errno, c.error) << c.text;
    }
}

TEST(CommConfig, ChannelIsReadAndValidated) {
    CommTree t;
    COMM_CHANNEL c{};
    ASSERT_EQ(channel_error(t, channel_text("channel1", "Urgent", "GUARANTEED", "High", "2M", "ON"), "channel1", &c), 0);
    EXPECT_EQ(std::string(c.name) + " " + c.type + " " + c.state + " " + c.address, "channel1 modem on vendor@example.com");
    EXPECT_EQ((std::vector<long>{c.priority, c.reliability, c.bandwidth, static_cast<long>(c.max_event_size),
                                 c.channel_order, c.encryption, c.compression, c.armor}),
              (std::vector<long>{4, 32, 1024, 2097152, 1, 1, 2, 3}));
    comm_free_channel(&c);
    EXPECT_EQ(c.name, nullptr);

    const std::string good = channel_text("channel1");
    auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::tuple<std::string, std::string, int> edits[] = {
        {"vendor@example.com", "SITE_SPECIFIC", 2003}, {"armor = 3\n", "", 2004},
        {"max_event_size = 100k", "max_event_size = 0k", 2003},
        {"available_priority = normal", "available_priority = fast", 2003},
        {"channel_order = 1", "channel_order = 0", 2003}};
    for (const auto& [from, to, code] : edits) EXPECT_EQ(channel_error(t, edited(from, to), "channel1"), code) << to;
    EXPECT_NE(t.log_text().find("Invalid Comm Keyword Value - channel1, 'address = SITE_SPECIFIC'"),
              std::string::npos);
    EXPECT_NE(t.log_text().find("kxcomm_send_event"), std::string::npos);
    EXPECT_NE(t.log_text().find("Missing Comm Keyword - channel1, 'armor'"), std::string::npos);
    // A keyword without a value ends the walk without a message.
    EXPECT_NE(channel_error(t, edited("address = vendor@example.com", "address"), "channel1"), 0);
    EXPECT_NE(channel_error(t, good, "channel9"), 0);
}

TEST(CommConfig, TypeNeedsAllItsKeywordsAndEditsSwitchStatesAndEncryption) {
    CommTree t;
    COMM_TYPE ty{};
    ASSERT_EQ(comm_read_type("modem", &ty), 0);
    EXPECT_STREQ(ty.lockfile, t.lock.c_str());
    EXPECT_STREQ(ty.queue, t.queue.c_str());
    EXPECT_STREQ(ty.state, "on");
    comm_free_type(&ty);

    std::string cfg = read_file(t.tree.config_dir() + "qzt_config");
    t.tree.write_main_config(cfg.substr(0, cfg.find("program = ")));
    EXPECT_EQ(err(comm_read_type("modem", &ty)), 2004);
    EXPECT_EQ(ty.name, nullptr);
    EXPECT_NE(t.log_text().find("Missing Comm Keyword - modem, 'program'"), std::string::npos);
    EXPECT_EQ(comm_read_type("satellite", &ty), -1);
    EXPECT_NE(t.log_text().find("Missing Comm Type 'satellite'"), std::string::npos);

    t.configure("queue", channel_text("channel1") + channel_text("channel2"));
    ASSERT_EQ(comm_set_state_off("channel2"), 0);
    ASSERT_EQ(comm_set_encryption_all("7"), 0);
    COMM_CHANNEL c{};
    ASSERT_EQ(comm_read_channel("channel2", &c), 0);
    EXPECT_STREQ(c.state, "off");
    EXPECT_EQ(c.encryption, 7);
    comm_free_channel(&c);
    ASSERT_EQ(comm_set_state_on("channel2"), 0);
    ASSERT_EQ(comm_set_keyword("channel1", "max_event_size", "1k"), 0);
    ASSERT_EQ(comm_read_channel("channel1", &c), 0);
    EXPECT_EQ(c.encryption, 7);
    EXPECT_EQ(c.max_event_size, 1024u);
    comm_free_channel(&c);
    EXPECT_NE(t.log_text().find("Changed all of the encryption keywords in qzt_config file"), std::string::npos);

    t.configure("queue", "");
    EXPECT_EQ(comm_set_encryption_all("1"), -1);
    EXPECT_NE(t.log_text().find("WARNING: A channel could not be found in the qzt_config file"), std::string::npos);
}

TEST(CommConfig, SplitCommand) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split("/bin/prog \"two words\" 'one' plain"),
              (V{"path=/bin/prog", "/bin/prog", "two words", "one", "plain"}));
    EXPECT_EQ(split("\t /bin/prog\ta\t\tb "), (V{"path=/bin/prog", "/bin/prog", "a", "b"}));
    EXPECT_EQ(split("/p '' x"), (V{"path=/p", "/p", "", "x"}));
    EXPECT_EQ(split("/p \"a\"'b'c"), (V{"path=/p", "/p", "a", "b", "c"}));
    EXPECT_EQ(split("/p \"open ended"), (V{"path=/p", "/p", "open ended"}));

    for (const char* bad : {"prog arg", "   ", "", "/p \"", "/p '"}) EXPECT_TRUE(split(bad).empty()) << bad;
    EXPECT_TRUE(split("/p " + std::string(1021, 'a')).empty());  // 1024 characters
    std::string many = "/p";
    for (int i = 0; i < 254; ++i) many += " a";
    EXPECT_EQ(split(many).size(), 256u);
    EXPECT_TRUE(split(many + " a").empty());
}
