// An error announced on the event and log channels travels all the way:
// event file, sequence number, queued message, log entries, heartbeat and a
// transmitting program that sends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kx_comm_tree.h"
#include "kx_qzt.h"

using namespace kxtest;

namespace {

std::string find_prefixed(const std::vector<std::string>& names, const std::string& prefix) {
    for (const std::string& n : names)
        if (n.rfind(prefix, 0) == 0) return n;
    return "";
}

}  // namespace

TEST(EventNotify, ErrorEventIsQueuedLoggedAndTransmitted) {
    CommTree t;
    t.configure("send", channel_text("channel1"),
                program_path("kx_test_transmit") + " " + t.lock + " '" + t.queue + "'");
    kx_error_notify(KX_NOTIFY_EVENT | KX_NOTIFY_LOG, "upgrade", 1003, "while opening", nullptr);

    // The transmitting program was started and ran to completion.
    EXPECT_EQ(reap_children(), std::vector<int>{0});
    EXPECT_TRUE(dir_entries(t.events).empty());
    EXPECT_EQ(find_prefixed(dir_entries(t.queue), "qzt_msg_"), "");

    std::vector<std::string> sent = dir_entries(t.queue + "/sent");
    ASSERT_EQ(sent.size(), 2u);
    std::string event = find_prefixed(sent, "qzt_event_");
    std::string msg = find_prefixed(sent, "qzt_msg_");
    ASSERT_FALSE(event.empty());
    ASSERT_FALSE(msg.empty());
    std::string id = event.substr(10);

    std::string ev = read_file(t.queue + "/sent/" + event);
    EXPECT_NE(ev.find("QZT_EVENT_ID: " + id + "\nQZT_EVENT_SEQUENCE: 00000100\nKX_VERSION: v5.0.0\n"),
              std::string::npos);
    EXPECT_NE(ev.find("EVENT_TYPE: admin\nEVENT_SUBTYPE: error\nEVENT_VERSION: v1.0\nEVENT_CODE: 1003\n"
                      "COLLECTOR_NAME: kx_error_notify v1.0\n"),
              std::string::npos);
    EXPECT_NE(ev.find("DESCRIPTION: Kestrix Error\nDATA_CONTROL: 0\nKX_DATA_START:\n"
                      "PROGRAM_NAME: upgrade\nERROR_NUMBER: 1003\n"
                      "ERROR_STRING: Configuration file not found\nADDITIONAL_TEXT: while opening\n"),
              std::string::npos);
    std::string header = read_file(t.queue + "/sent/" + msg);
    EXPECT_NE(header.find("EVENT_ID=" + id + "\nSERIAL_NO=SN42\n"), std::string::npos);
    EXPECT_NE(header.find("CHANNEL_NAME=channel1\nCHANNEL_TYPE=modem\n"), std::string::npos);
    EXPECT_EQ(read_file(t.seq), "00000100");
    EXPECT_TRUE(path_exists(t.heartbeat));

    std::string log = t.log_text();
    std::string msg_id = msg.substr(8, msg.size() - 12);
    for (const std::string& want : std::vector<std::string>{
             "EVENT ", "kx_error_notify v1.0\n" + id + " created. Type: admin Subtype: error Code: 1003\n",
          "COMM ", "kxcomm_send_event\nEvent '" + id + "' queued for transmission to Brannock, msg id '" + msg_id + "'",
          "ERROR ", "upgrade\nError: 1003\nConfiguration file not found\nwhile opening\n",
          "kx_test_transmit\nMessage '" + msg_id + "' sent to vendor@example.com, event '" + id + "'"})
        EXPECT_NE(log.find(want), std::string::npos) << want << "\n--- log:\n" << log;
    // Order of the channels: the event is logged before the error entry.
    EXPECT_LT(log.find("EVENT "), log.find("ERROR "));
}
