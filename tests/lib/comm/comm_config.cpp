// Outbound communication configuration, size values and command splitting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kx_comm_qzt.h"
#include "kx_comm_tree.h"
#include "kx_decode_size.h"
#include "kx_errno.h"

using namespace kxtest;

namespace {

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

std::vector<std::string> split(const std::string& command, int* rc_out = nullptr) {
    char* path = nullptr;
    char** argv = nullptr;
    int rc = comm_split_command(command.c_str(), &path, &argv);
    if (rc_out) *rc_out = rc;
    std::vector<std::string> words;
    if (rc == 0) {
        words.push_back(std::string("path=") + path);
        for (char** a = argv; *a; ++a) words.push_back(*a);
    }
    comm_free_command(path, argv);
    return words;
}

}  // namespace

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
    EXPECT_STREQ(c.name, "channel1");
    EXPECT_STREQ(c.type, "modem");
    EXPECT_STREQ(c.state, "on");
    EXPECT_STREQ(c.address, "vendor@example.com");
    EXPECT_EQ(c.priority, 4);
    EXPECT_EQ(c.reliability, 32);
    EXPECT_EQ(c.bandwidth, 1024);
    EXPECT_EQ(c.max_event_size, 2097152u);
    EXPECT_EQ(c.channel_order, 1);
    EXPECT_EQ(c.encryption + c.compression * 10 + c.armor * 100, 321);
    comm_free_channel(&c);
    EXPECT_EQ(c.name, nullptr);

    const std::string good = channel_text("channel1");
    auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    EXPECT_EQ(channel_error(t, edited("vendor@example.com", "SITE_SPECIFIC"), "channel1"), 2003);
    EXPECT_NE(t.log_text().find("Invalid Comm Keyword Value - channel1, 'address = SITE_SPECIFIC'"),
              std::string::npos);
    EXPECT_NE(t.log_text().find("kxcomm_send_event"), std::string::npos);

    EXPECT_EQ(channel_error(t, edited("armor = 3\n", ""), "channel1"), 2004);
    EXPECT_NE(t.log_text().find("Missing Comm Keyword - channel1, 'armor'"), std::string::npos);

    EXPECT_EQ(channel_error(t, edited("max_event_size = 100k", "max_event_size = 0k"), "channel1"), 2003);
    EXPECT_EQ(channel_error(t, edited("available_priority = normal", "available_priority = fast"), "channel1"), 2003);
    EXPECT_EQ(channel_error(t, edited("channel_order = 1", "channel_order = 0"), "channel1"), 2003);
    // A keyword without a value ends the walk without a message.
    EXPECT_NE(channel_error(t, edited("address = vendor@example.com", "address"), "channel1"), 0);
    EXPECT_NE(channel_error(t, good, "channel9"), 0);
}

TEST(CommConfig, TypeNeedsAllItsKeywords) {
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
}

TEST(CommConfig, EditsSwitchStatesAndEncryption) {
    CommTree t;
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

    int rc = 0;
    for (const char* bad : {"prog arg", "   ", "", "/p \"", "/p '"}) {
        split(bad, &rc);
        EXPECT_EQ(rc, -1) << bad;
    }
    split("/p " + std::string(1021, 'a'), &rc);  // 1024 characters
    EXPECT_EQ(rc, -1);
    std::string many = "/p";
    for (int i = 0; i < 254; ++i) many += " a";
    EXPECT_EQ(split(many).size(), 256u);
    split(many + " a", &rc);
    EXPECT_EQ(rc, -1);
}
