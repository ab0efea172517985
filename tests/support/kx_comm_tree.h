// A private installation configured for events and outbound communication:
// event directory, sequence file, suite log, heartbeat and one queue whose
// communication type "modem" runs a chosen program.
#pragma once

#include <dirent.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "kx_test_support.h"

namespace kxtest {

// A channel subsection of "communication_outbound".
inline std::string channel_text(const std::string& name, const std::string& priority = "normal",
                                const std::string& reliability = "besteffort",
                                const std::string& bandwidth = "medium",
                                const std::string& size = "100k", const std::string& state = "on",
                                const std::string& type = "modem") {
    return "(" + name + ")\ntype = " + type + "\nstate = " + state +
           "\naddress = vendor@example.com\navailable_priority = " + priority +
           "\navailable_reliability = " + reliability + "\navailable_bandwidth = " + bandwidth +
           "\nmax_event_size = " + size +
           "\nchannel_order = 1\nencryption = 1\ncompression = 2\narmor = 3\n";
}

class CommTree {
public:
    TempTree tree;
    std::string events = tree.path() + "/events";
    std::string seq = tree.path() + "/seq/sequence";
    std::string log = tree.path() + "/log/kx.log";
    std::string queue = tree.path() + "/queue";
    std::string lock = tree.path() + "/comm/modem.lck";
    std::string heartbeat = tree.path() + "/hb/last_msg";
    std::string started = tree.path() + "/started";

    CommTree() {
        for (const std::string& d : {events, queue, tree.path() + "/seq", tree.path() + "/log",
                                     tree.path() + "/comm", tree.path() + "/hb"})
            make_dirs(d);
        write_file(tree.file("qzt/etc/admin_event"),
                   "[heartbeat]\nlast_msg_queued_file = " + heartbeat + "\n");
        configure();
    }

    // The program of type "modem" by default appends a line to `started`.
    std::string default_program() const { return "/bin/sh -c \"echo run >> " + started + "\""; }

    // Rewrites the main configuration file.
    void configure(const std::string& state = "queue", const std::string& channels = channel_text("channel1"),
                   const std::string& program = "", const std::string& extra = "",
                   const std::string& type_state = "on") const {
        tree.write_main_config(
            "[system]\nkestrix_version = v5.0.0\nsystem_serial_number = SN42\nsystem_name = testhost\n"
            "[files]\nevent_dir = " + events + "\nsequence_file = " + seq + "\n"
            "[log_files]\n(system)\nlog_file = " + log + "\n"
            "[admin_event]\nconfig_file = " + tree.config_dir() + "admin_event\n" + extra +
            "[communication_outbound]\nstate = " + state + "\n" + channels +
            "(modem)\nstate = " + type_state + "\nlockfile = " + lock + "\nqueue = " + queue +
            "\nprogram = " + (program.empty() ? default_program() : program) + "\n");
    }

    std::string log_text() const { return read_if_exists(log); }
};

// An unnumbered event file with a complete header in the event directory;
// returns its path.
inline std::string write_event(const CommTree& t, const std::string& id, const std::string& data = "data\n",
                               const std::string& sequence = "00000000") {
    std::string path = t.events + "/qzt_event_" + id;
    write_file(path, "QZT_EVENT_ID: " + id + "\nQZT_EVENT_SEQUENCE: " + sequence + "\nKX_VERSION: v5.0.0\n"
                     "ASCII_DATE: d\nEVENT_TYPE: admin\nEVENT_SUBTYPE: error\nEVENT_VERSION: v1\n"
                     "EVENT_CODE: 1\nCOLLECTOR_NAME: c v1\nSYSTEM_SERIAL_NUMBER: SN42\nSYSTEM_NAME: h\n"
                     "DESCRIPTION: d\nDATA_CONTROL: 0\nKX_DATA_START:\n" + data);
    return path;
}

// "%y%m%d_%H%M%S" of T in local time: the id of an event or message.
inline std::string time_id_of(time_t t) {
    char buf[32];
    struct tm tm_buf;
    strftime(buf, sizeof buf, "%y%m%d_%H%M%S", localtime_r(&t, &tm_buf));
    return buf;
}

// The names in DIR, without those that begin with a dot, sorted.
inline std::vector<std::string> dir_entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Waits for every child of this process; returns their exit statuses.
inline std::vector<int> reap_children() {
    std::vector<int> statuses;
    int st = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &st, 0)) > 0 || (pid < 0 && errno == EINTR))
        if (pid > 0) statuses.push_back(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    return statuses;
}

}  // namespace kxtest
