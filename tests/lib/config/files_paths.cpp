// The product home, file tests, command search, path components,
// directories, copying files and lock files; parsing and comparing
// product version texts.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"
#include "kx_versions.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

using namespace kxtest;

// The permission bits of PATH (links followed).
unsigned mode_of(const std::string& path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(FilesPaths, HomeConfigDirectoryAndConfigFileNames) {
    TempTree tree;
    EXPECT_EQ(std::string(get_config_dir()), tree.path() + "/qzt/etc/");
    setenv("KESTRIX_HOME", "", 1);               // empty is still a home
    EXPECT_STREQ(get_config_dir(), "/qzt/etc/");
    std::string home(1024 - 9, 'h');             // the longest that still fits
    setenv("KESTRIX_HOME", home.c_str(), 1);
    EXPECT_EQ(std::string(get_config_dir()).size(), 1024u);
    home += 'h';
    setenv("KESTRIX_HOME", home.c_str(), 1);
    EXPECT_EQ(get_config_dir(), nullptr);
    setenv("KESTRIX_HOME", std::string(1025, 'h').c_str(), 1);
    EXPECT_EQ(get_kx_home(), nullptr);

    setenv("KESTRIX_HOME", tree.path().c_str(), 1);
    EXPECT_EQ(get_config_file_name("log_files"), nullptr);    // no main file yet
    tree.write_main_config("[log_files]\nconfig_file = $KESTRIX_HOME/etc/logs.cfg\n"
                           "[events]\nconfig_file =\n[long]\nconfig_file = /" +
                           std::string(1024, 'x') + "\n");
    EXPECT_STREQ(get_config_file_name("log_files"), (tree.path() + "/etc/logs.cfg").c_str());
    EXPECT_EQ(get_config_file_name("events"), nullptr);        // empty value
    EXPECT_EQ(get_config_file_name("long"), nullptr);          // too long for a path
    EXPECT_EQ(get_config_file_name("missing"), nullptr);
}

TEST(FilesPaths, TypeTestsAndCommandSearchSetTheReason) {
    TempTree tree;
    std::string bin = tree.path() + "/bin";
    write_file(tree.file("bin/tool"), "#!/bin/sh\n", 0755);
    write_file(tree.file("bin/plain"), "data", 0644);
    write_file(tree.file("here/local"), "#!/bin/sh\n", 0755);
    ASSERT_EQ(symlink((bin + "/plain").c_str(), (tree.path() + "/link").c_str()), 0);
    EXPECT_EQ(file_exists((tree.path() + "/link").c_str()), 1);
    EXPECT_TRUE(dir_exists(bin.c_str()) == 1 && dir_exists((bin + "/plain").c_str()) == 0);
    EXPECT_TRUE(file_exists(bin.c_str()) == 0 && kx_errno == 13);
    EXPECT_TRUE(file_exists((tree.path() + "/missing").c_str()) == 0 && kx_errno == ENOENT);

    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ASSERT_EQ(chdir((tree.path() + "/here").c_str()), 0);
    setenv("PATH", ("/nonexistent::" + bin + ":").c_str(), 1);
    char* found = kx_find_program("tool");  // the file itself, for starting it
    EXPECT_EQ(found ? std::string(found) : "", bin + "/tool");
    std::free(found);
    char line[] = "tool -x\targ";
    EXPECT_TRUE(command_exists(line) == 1 && std::string(line) == "tool -x\targ");
    EXPECT_TRUE(find_in_path("plain") == 0 && kx_errno == 2);
    EXPECT_EQ(find_in_path("local"), 0);          // ":" never means "."
    EXPECT_EQ(find_in_path("./local"), 1);        // a "/" skips PATH
    unsetenv("PATH");
    EXPECT_EQ(find_in_path("tool"), 0);
    setenv("PATH", old_path.c_str(), 1);
}

TEST(FilesPaths, BasenameCutsTrailingSlashesInPlace) {
    char path[] = "/a/b/";
    EXPECT_STREQ(basename(path), "b");
    EXPECT_STREQ(path, "/a/b");
    for (auto [in, out] : {std::pair{"b", "b"}, {"/b", "b"}, {"a//b//", "b"}, {"///", "/"}, {"", "."}}) {
        std::string copy = in;
        EXPECT_STREQ(basename(copy.data()), out) << in;
    }
    // Through a pointer, as C callers reach it, the argument may be null.
    char* (*volatile call)(char*) = basename;
    EXPECT_STREQ(call(nullptr), ".");
}

TEST(FilesPaths, DirectoryPathTakesTheModeOfItsParentAndProfileUmaskFallsBackTo022) {
    TempTree tree;
    std::string top = tree.path() + "/top";
    ASSERT_EQ(mkdir(top.c_str(), 0750), 0);
    mode_t old = umask(0);
    EXPECT_EQ(make_directory_path((top + "/a//b/c/").c_str()), 0);
    umask(old);
    EXPECT_EQ(mode_of(top + "/a/b/c"), 0750u);
    write_file(top + "/file", "");
    EXPECT_TRUE(make_directory_path((top + "/file/sub").c_str()) == -1 && kx_errno == ENOTDIR);

    EXPECT_EQ(get_profile_umask(), 022);
    write_file(tree.path() + "/.profile", "  umask 077\numask 027 # private\numask 002\n");
    EXPECT_EQ(get_profile_umask(), 027);
    write_file(tree.path() + "/.profile", "umask 089\n");
    EXPECT_EQ(get_profile_umask(), 022);
}

TEST(Versions, ParseAndCompareFieldByFieldWithMajorTwoReadAsFourOnlyWhenFirst) {
    struct Case { const char* text; int rc, major, minor, patch; };
    const Case cases[] = {
        {"v4.0.1", 0, 4, 0, 1},   {"v1.0", 0, 1, 0, 0},       {"v4.0.1-beta", 0, 4, 0, 1},
        {"v 4. 0", 0, 4, 0, 0},   {"v4.0.x", 0, 4, 0, 0},     {"v-1.+2.3", 0, -1, 2, 3},
        {"v4", -1, 4, 0, 0},      {"v4 .0", -1, 4, 0, 0},     {"V4.0.1", -1, 0, 0, 0},
        {" v4.0", -1, 0, 0, 0},   {"4.0.1", -1, 0, 0, 0},     {"", -1, 0, 0, 0},
        {nullptr, -1, 0, 0, 0},   {"v2147483647.0", 0, 2147483647, 0, 0},
        // Numbers that do not fit an int are refused, never wrapped.
        {"v2147483648.0", -1, 0, 0, 0}, {"v4.0.99999999999", -1, 4, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        KX_VERSION v{-7, -7, -7};
        const int rc = kx_parse_version(c.text, &v);
        EXPECT_EQ(std::tie(rc, v.major, v.minor, v.patch), std::tie(c.rc, c.major, c.minor, c.patch));
    }

    struct Pair { const char* first; const char* second; int result; };
    const Pair pairs[] = {
        {"v4.0.0", "v4.0", 1},    {"v4.0.1", "v4.0.2", 0},  {"v4.1.0", "v4.0.9", 2},
        {"v10.0", "v9.0", 2},     {"v3.0", "v4.0", 0},      {"v2.0.1", "v4.0.1", 1},
        {"v2.0.0", "v4.0.1", 0},  {"v2.1", "v4.0.5", 2},    {"v4.0.1", "v2.0.1", -1},
        {"v2.0", "v2.1", 0},      {nullptr, nullptr, 1},    {nullptr, "v1.0", 0},
        {"v1.0", nullptr, 2},     {nullptr, "None", 0},     {"None", "v4.0", -1},
        {"v4.0", "v4", -1},
    };
    for (const Pair& c : pairs) {
        SCOPED_TRACE(std::string(c.first ? c.first : "(null)") + " " + (c.second ? c.second : "(null)"));
        EXPECT_EQ(kx_compare_versions(c.first, c.second), c.result);
    }
}

TEST(Versions, ConfigVersionIsACopyOfTheSystemKeyword) {
    TempTree tree;
    std::string path = tree.write_main_config("[system]\nkestrix_version = v4.0.1\n");
    char* version = kx_get_config_version(path.c_str());
    EXPECT_STREQ(version, "v4.0.1");
    std::free(version);
    write_file(path, "[system]\nadmin = root\n");
    EXPECT_EQ(kx_get_config_version(path.c_str()), nullptr);
    EXPECT_EQ(kx_get_config_version((tree.path() + "/none").c_str()), nullptr);
}

std::string blob(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 % 251);
    return s;
}

TEST(FilesCopy, CopiesContentsAndPermissionsLessUmaskAndFailuresLeaveNothingBehind) {
    TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    std::string data = blob(3 * 8192 + 5);
    write_file(src, data, 0764);
    mode_t old = umask(027);
    EXPECT_EQ(copy_file(dest.c_str(), src.c_str()), 0);
    umask(old);
    EXPECT_EQ(mode_of(dest), 0740u);
    EXPECT_EQ(read_file(dest), data);
    // An existing file is replaced; a directory receives the source's name.
    write_file(tree.file("empty"), "");
    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/empty").c_str()), 0);
    EXPECT_EQ(read_file(dest), "");
    make_dirs(tree.path() + "/dir");
    EXPECT_EQ(copy_file((tree.path() + "/dir/").c_str(), src.c_str()), 0);
    EXPECT_EQ(read_file(tree.path() + "/dir/src"), data);

    write_file(src, blob(5 * 8192));
    dest = tree.path() + "/dest2";
    EXPECT_EQ(err(copy_file(dest.c_str(), (tree.path() + "/missing").c_str())), ENOENT);
    EXPECT_FALSE(path_exists(dest));
    EXPECT_EQ(copy_file(tree.path().c_str(), src.c_str()), -1);   // onto itself
    EXPECT_EQ(read_file(src), blob(5 * 8192));

    // A size limit cuts one write short and fails the next with EFBIG.
    write_file(dest, "old contents");
    EXPECT_TRUE(in_child([&] {
        return limit_file_size(12000) && err(copy_file(dest.c_str(), src.c_str())) == EFBIG;
    }));
    EXPECT_FALSE(path_exists(dest));
}

TEST(FilesCopy, LockFileExcludesOthersNeverTruncatesAndStaysOutOfChildPrograms) {
    TempTree tree;
    std::string path = tree.path() + "/x.lck";
    write_file(path, "stale");
    int fd = open_lock_file(path.c_str(), 2);
    ASSERT_GE(fd, 0);
    struct stat st;
    // Never truncated: whatever is at the name is not the lock's to destroy.
    EXPECT_TRUE(fstat(fd, &st) == 0 && st.st_size == 5);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_TRUE(in_child([&] {
        int e = err(open_lock_file(path.c_str(), 0));
        return e == EAGAIN || e == EACCES;
    }));
    close(fd);
    fd = open_lock_file(path.c_str(), 6);  // kept open across exec
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
}

TEST(FilesCopy, NewFilesNeverFollowOrFillWhatIsPlantedAtTheirName) {
    TempTree tree;
    const std::string src = tree.path() + "/c.cfg", victim = tree.path() + "/victim";
    write_file(src, "[a]\n", 0640);
    write_file(victim, "precious\n");
    auto plant_link = [&](const std::string& name) { return symlink(victim.c_str(), name.c_str()) == 0; };

    // A directory at the name is no place to copy into.
    const std::string copy = src + ".tup";
    make_dirs(copy);
    EXPECT_EQ(err(copy_to_new_file(copy.c_str(), src.c_str())), EISDIR);
    EXPECT_FALSE(path_exists(copy + "/c.cfg"));

    // A stale link is removed, its target untouched; the copy is a new file.
    const std::string fresh = src + ".new";
    ASSERT_TRUE(plant_link(fresh));
    ASSERT_EQ(copy_to_new_file(fresh.c_str(), src.c_str()), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(fresh));
    EXPECT_EQ(read_file(fresh), "[a]\n");
    EXPECT_EQ(read_file(victim), "precious\n");

    // copy_file replaces a file's contents but never writes through a link.
    const std::string through = tree.path() + "/through";
    ASSERT_TRUE(plant_link(through));
    EXPECT_EQ(err(copy_file(through.c_str(), src.c_str())), ELOOP);
    EXPECT_EQ(read_file(victim), "precious\n");

    // An exclusive new file: what it cannot remove, it refuses.
    int fd = open_new_file(fresh.c_str(), 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(read_file(fresh), "");
    EXPECT_EQ(err(open_new_file(copy.c_str(), 0600)), EISDIR);

    // A FIFO (whose open would block) is no lock name.
    ASSERT_EQ(mkfifo((tree.path() + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(open_lock_file((tree.path() + "/fifo").c_str(), 0), -1);
    EXPECT_TRUE(kx_errno == ENXIO || kx_errno == EINVAL) << kx_errno;
}

TEST(FilesCopy, ReplaceFileKeepsTheLinkAndTheReplacedFilesMode) {
    TempTree tree;
    const std::string real = tree.path() + "/real", link = tree.path() + "/link", tmp = link + ".tup";
    write_file(real, "old\n", 0640);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    write_file(tmp, "new\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), link.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(real), "new\n");
    EXPECT_EQ(mode_of(real), 0640u);
    EXPECT_FALSE(path_exists(tmp));

    // A new target takes the file as it is; a dangling link is refused.
    write_file(tmp, "fresh\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), (tree.path() + "/fresh").c_str()), 0);
    EXPECT_EQ(mode_of(tree.path() + "/fresh"), 0600u);
    write_file(tmp, "x\n");
    ASSERT_EQ(symlink((tree.path() + "/nowhere").c_str(), (tree.path() + "/dangling").c_str()), 0);
    EXPECT_EQ(err(replace_file(tmp.c_str(), (tree.path() + "/dangling").c_str())), ENOENT);
    EXPECT_TRUE(path_exists(tmp));
}

}  // namespace
