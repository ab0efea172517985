// A stand-in transmitting program for tests of the communication library.
//
//     kx_test_transmit LOCKFILE QUEUE_DIR
//
// It holds a write lock on LOCKFILE while it runs (a second instance exits at
// once), works through the message files of QUEUE_DIR in name order, and
// "transmits" each one by moving it and the event it names into
// QUEUE_DIR/sent and logging a "COMM" entry. A message file it cannot read
// goes to QUEUE_DIR/failed. It exits when the queue is empty, with status 1
// when a message could not be moved out of the queue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kx_comm_qzt.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_msg.h"
#include "kx_program_version.h"
#include "kxcf.h"
#include "kxevent.h"

namespace {

constexpr const char* kProgram = "kx_test_transmit";

bool has_suffix(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> queued_messages(const std::string& queue) {
    std::vector<std::string> names;
    DIR* d = opendir(queue.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(KXCOMM_MSG_PREFIX, 0) == 0 && has_suffix(name, KXMSG_SUFFIX))
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// A write lock on the lock file; -1 when another instance holds it.
int take_lock(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd < 0) return -1;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void log_entry(const std::string& text) { kx_log_message(nullptr, "COMM", kProgram, text.c_str()); }

// Moves one message (and its event) out of the queue; false when the
// message stays, so that the caller does not meet it again and again.
bool transmit(const std::string& queue, const std::string& event_dir, const std::string& name) {
    std::string msg_path = queue + "/" + name;
    MSG_HEADER* h = msg_read_header(queue.c_str(), name.c_str());
    if (!h) {
        log_entry("Message '" + name + "' unreadable, error " + std::to_string(kx_errno));
        ::mkdir((queue + "/failed").c_str(), 0755);
        return std::rename(msg_path.c_str(), (queue + "/failed/" + name).c_str()) == 0;
    }
    std::string event_name = std::string(KX_EVENT_PREFIX) + h->event_id;
    std::string sent = queue + "/sent/";
    bool event_moved = std::rename((event_dir + "/" + event_name).c_str(), (sent + event_name).c_str()) == 0;
    bool moved = std::rename(msg_path.c_str(), (sent + name).c_str()) == 0;
    if (moved)
        log_entry("Message '" + std::string(h->message_id) + "' sent to " + h->address_to + ", event '" +
                  h->event_id + "'" + (event_moved ? "" : " (event file missing)"));
    msg_free(h);
    std::free(h);
    return moved;
}

}  // namespace

constexpr const char* kHelp =
    "usage: %s LOCKFILE QUEUE_DIR\n"
    "A stand-in transmitting program for tests: holds a write lock on LOCKFILE,\n"
    "moves each message of QUEUE_DIR (and the event it names) to QUEUE_DIR/sent,\n"
    "an unreadable one to QUEUE_DIR/failed, and logs a COMM entry for each.\n"
    "Exit status: 0 when the queue was emptied, 1 otherwise.\n";

// --help and --version, alone on the command line; false for anything else.
bool answered_help_or_version(int argc, char** argv) {
    if (argc != 2) return false;
    const std::string option = argv[1];
    if (option == "--help" || option == "-h")
        std::printf(kHelp, kProgram);
    else if (option == "--version")
        std::printf("%s (Kestrix) %s\n", kProgram, KX_PROGRAM_VERSION);
    else
        return false;
    return true;
}

int main(int argc, char** argv) {
    if (answered_help_or_version(argc, argv)) return 0;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LOCKFILE QUEUE_DIR\n", kProgram);
        return 1;
    }
    const std::string lock_path = argv[1];
    const std::string queue = argv[2];
    char dir[KXCF_MAX_VALUE + 1];
    if (event_get_dir(dir) != 0) {
        std::fprintf(stderr, "%s: no event directory (error %d)\n", kProgram, kx_errno);
        return 1;
    }
    const std::string event_dir = dir;
    ::mkdir((queue + "/sent").c_str(), 0755);

    int lock = take_lock(lock_path);
    if (lock < 0) return 0;  // another instance is at work
    for (;;) {
        std::vector<std::string> names = queued_messages(queue);
        for (const std::string& name : names)
            if (!transmit(queue, event_dir, name)) return 1;
        if (!names.empty()) continue;
        // A message queued while the lock was still held found the program
        // running and started nothing: look once more after letting go.
        ::close(lock);
        if (queued_messages(queue).empty()) return 0;
        lock = take_lock(lock_path);
        if (lock < 0) return 0;
    }
}
