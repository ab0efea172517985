// Helpers shared by the tests: a private temporary installation tree, small
// file helpers, a way to run a program and collect what it printed, and
// bodies run in child processes.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away. With set_home, KESTRIX_HOME points at it for the
// object's lifetime, so nothing reads a real installation.
class TempTree {
public:
    explicit TempTree(bool set_home = true);
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& path() const { return root_; }
    // root/rel, with the directories leading to it created.
    std::string file(const std::string& rel) const;
    // The suite's configuration directory inside the tree: root/qzt/etc/.
    std::string config_dir() const { return root_ + "/qzt/etc/"; }
    // Writes root/qzt/etc/qzt_config and returns its path.
    std::string write_main_config(const std::string& text) const;

private:
    std::string root_;
    bool set_home_;
    std::optional<std::string> old_home_;
};

// Writes PATH, making its missing directories first.
void write_file(const std::string& path, const std::string& text, int mode = 0644);
std::string read_file(const std::string& path);
// The file's text, or "" when there is none.
std::string read_if_exists(const std::string& path);
bool path_exists(const std::string& path);
// An expected output kept beside the tests: KX_SOURCE_DIR/tests/REL.
std::string expected_output(const std::string& rel);
// TEXT with every ROOT (a run's temporary tree) written NAME, so that the
// output of a run compares with an expected file.
std::string rooted(std::string text, const std::string& root, const std::string& name = "ROOT");
// Whether a temporary file of a write-back of PATH (PATH.tmp...) is left.
bool temporary_left(const std::string& path);
void make_dirs(const std::string& path);
void remove_tree(const std::string& path);

struct RunResult {
    int status = -1;      // exit status, or 128 + signal number
    std::string out;      // standard output
    std::string err;      // standard error
};

// Runs argv[0] (a path, or a name looked up along PATH) without a shell.
// env entries are set (an empty value unsets the variable) in the child only.
RunResult run_program(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env = {},
                      const std::string& cwd = "",
                      const std::string& input = "");

// A built program of this project: KX_BIN_DIR/name.
std::string program_path(const std::string& name);

// The reason (kx_errno) of a call that failed with -1 or a null pointer; 0
// when it succeeded.
int err(int rc);
int err(const void* p);

// Waits for the child PID; its exit status, or -1 when it did not exit.
int child_status(pid_t pid);

// Runs BODY in a child process; true when it returned true there.
template <class Body>
bool in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return child_status(pid) == 0;
}

// Lets no file of this process grow beyond LIMIT bytes; a write past it
// fails with EFBIG instead of raising SIGXFSZ. For children only.
bool limit_file_size(rlim_t limit);

// Pieces joined with append: g++ 12 at -O3 takes "text" + std::string for
// an overlapping copy.
inline std::string join(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view p : parts) s.append(p);
    return s;
}

// CPU seconds of BODY.
template <class Body>
double cpu_seconds(Body body) {
    std::clock_t start = std::clock();
    body();
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace kxtest
