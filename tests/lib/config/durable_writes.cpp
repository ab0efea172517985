// Every path that publishes a file under its final name puts the data on
// disk before the rename and the directory on disk after it, so that a
// power failure leaves the old file or the new one, never an empty name.
// The order is seen through wrappers of fsync and rename (linked with
// --wrap), which note what each call was given.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_comm_qzt.h"
#include "kx_comm_tree.h"
#include "kx_test_support.h"
#include "kxcf.h"
#include "kxevent.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;

std::string path_of(int fd) {
    char buf[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n < 0 ? "?" : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);
extern "C" int __wrap_fsync(int fd) {
    calls.push_back("fsync " + path_of(fd));
    return __real_fsync(fd);
}
extern "C" int __wrap_rename(const char* from, const char* to) {
    calls.push_back(std::string("rename ") + from);
    calls.push_back(std::string("onto ") + to);
    return __real_rename(from, to);
}

namespace {

using namespace kxtest;

// TARGET was published: its new file flushed, renamed over it, and its
// directory flushed, in that order.
::testing::AssertionResult published(const std::string& target) {
    for (std::size_t i = 2; i + 1 < calls.size(); ++i)
        if (calls[i] == "onto " + target && calls[i - 1].rfind("rename ", 0) == 0 &&
            calls[i - 2] == "fsync " + calls[i - 1].substr(7) &&
            calls[i + 1] == "fsync " + target.substr(0, target.rfind('/')))
            return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ::testing::PrintToString(calls);
}

TEST(DurableWrites, EveryPublishedFileIsFlushedRenamedAndItsDirectoryFlushed) {
    TempTree tree;
    const std::string real = tree.file("real/c.cfg"), link = tree.file("c.cfg");
    write_file(real, "[s]\nk = v\n");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);

    // Write-back in immediate and in update mode, by the link's name too.
    for (int flags : {0, KXCF_UPDATE}) {
        calls.clear();
        KXCF_FILE* f = kxcf_open(link.c_str(), flags);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "w"), 0);
        ASSERT_EQ(kxcf_close(f), 0);
        EXPECT_TRUE(published(real)) << flags;
    }

    // The upgrade's working copy is on disk before it can be renamed into
    // place; the result, the -o file and the copy saved on failure go
    // through replace_file.
    calls.clear();
    const std::string copy = tree.file("c.cfg.tup"), out = tree.file("out.cfg");
    ASSERT_EQ(copy_to_new_file(copy.c_str(), real.c_str()), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"fsync " + copy});
    ASSERT_EQ(replace_file(copy.c_str(), out.c_str()), 0);
    EXPECT_TRUE(published(out));
}

TEST(DurableWrites, EventFilesAndQueuedMessagesToo) {
    CommTree t;
    // An event file is on disk, name included, before it is queued.
    calls.clear();
    KX_EVENT_REC* ev = event_create(t.events.c_str(), "qzt_event_", 0);
    ASSERT_NE(ev, nullptr);
    const std::string event_file = ev->file_name;
    event_destroy(ev);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"fsync " + event_file, "fsync " + t.events}));

    // A queued message appears whole.
    write_event(t, "1");
    calls.clear();
    ASSERT_EQ(kxcomm_send_event("1", 0, 0), 0);
    EXPECT_TRUE(published(t.queue + "/" + dir_entries(t.queue).at(0)));
}

}  // namespace
