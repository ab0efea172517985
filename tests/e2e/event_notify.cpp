// An error announced on the event and log channels travels all the way:
// event file, sequence number, queued message, log entries, heartbeat and a
// transmitting program that sends it.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "kx_comm_tree.h"
#include "kx_qzt.h"

using namespace kxtest;
using testing::HasSubstr;

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
    const std::string event = find_prefixed(sent, "qzt_event_"), msg = find_prefixed(sent, "qzt_msg_");
    ASSERT_FALSE(event.empty() || msg.empty());
    std::string id = event.substr(10);

    std::string ev = read_file(t.queue + "/sent/" + event);
    EXPECT_THAT(ev, HasSubstr("QZT_EVENT_ID: " + id + "\nQZT_EVENT_SEQUENCE: 00000100\nKX_VERSION: v5.0.0\n"));
    EXPECT_THAT(ev, HasSubstr("EVENT_TYPE: admin\nEVENT_SUBTYPE: error\nEVENT_VERSION: v1.0\nEVENT_CODE: 1003\n"
                              "COLLECTOR_NAME: kx_error_notify v1.0\n"));
    EXPECT_THAT(ev, HasSubstr("DESCRIPTION: Kestrix Error\nDATA_CONTROL: 0\nKX_DATA_START:\nPROGRAM_NAME: upgrade\n"
                              "ERROR_NUMBER: 1003\nERROR_STRING: Configuration file not found\n"
                              "ADDITIONAL_TEXT: while opening\n"));
    std::string header = read_file(t.queue + "/sent/" + msg);
    EXPECT_THAT(header, HasSubstr("EVENT_ID=" + id + "\nSERIAL_NO=SN42\n"));
    EXPECT_THAT(header, HasSubstr("CHANNEL_NAME=channel1\nCHANNEL_TYPE=modem\n"));
    EXPECT_EQ(read_file(t.seq), "00000100");
    EXPECT_TRUE(path_exists(t.heartbeat));

    std::string log = t.log_text();
    std::string msg_id = msg.substr(8, msg.size() - 12);
    for (const std::string& want : std::vector<std::string>{
             "EVENT ", "kx_error_notify v1.0\n" + id + " created. Type: admin Subtype: error Code: 1003\n",
          "COMM ", "kxcomm_send_event\nEvent '" + id + "' queued for transmission to Brannock, msg id '" + msg_id + "'",
          "ERROR ", "upgrade\nError: 1003\nConfiguration file not found\nwhile opening\n",
          "kx_test_transmit\nMessage '" + msg_id + "' sent to vendor@example.com, event '" + id + "'"})
        EXPECT_THAT(log, HasSubstr(want));
    // Order of the channels: the event is logged before the error entry.
    EXPECT_LT(log.find("EVENT "), log.find("ERROR "));
}
