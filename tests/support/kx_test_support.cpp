#include "kx_test_support.h"

#include "kx_errno.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kxtest {

TempTree::TempTree(bool set_home) : set_home_(set_home) {
    const char* tmp = std::getenv("TMPDIR");
    root_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kxtest.XXXXXX";
    if (!mkdtemp(root_.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    if (!set_home_) return;
    if (const char* old = std::getenv("KESTRIX_HOME")) old_home_ = old;
    setenv("KESTRIX_HOME", root_.c_str(), 1);
}

TempTree::~TempTree() {
    if (set_home_ && old_home_)
        setenv("KESTRIX_HOME", old_home_->c_str(), 1);
    else if (set_home_)
        unsetenv("KESTRIX_HOME");
    remove_tree(root_);
}

std::string TempTree::file(const std::string& rel) const {
    std::string p = root_ + "/" + rel;
    make_dirs(fs::path(p).parent_path().string());
    return p;
}

std::string TempTree::write_main_config(const std::string& text) const {
    std::string p = file("qzt/etc/qzt_config");
    write_file(p, text);
    return p;
}

void write_file(const std::string& path, const std::string& text, int mode) {
    make_dirs(fs::path(path).parent_path().string());
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        if (!f) throw std::runtime_error("cannot write " + path);
        f << text;
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string read_if_exists(const std::string& path) { return path_exists(path) ? read_file(path) : ""; }

std::string expected_output(const std::string& rel) {
    return read_file(std::string(KX_SOURCE_DIR) + "/tests/" + rel);
}

std::string rooted(std::string text, const std::string& root, const std::string& name) {
    for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), name);
    return text;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool temporary_left(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string prefix = path.substr(slash + 1) + ".tmp";
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) return true;
    return false;
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable first.
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

namespace {

std::string slurp_fd(int fd) {
    std::string s;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

// An unnamed file for what a child reads or prints.
int temp_fd() {
    int fd = ::open("/tmp", O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) throw std::runtime_error("cannot make a temporary file");
    return fd;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env,
                      const std::string& cwd, const std::string& input) {
    int out = temp_fd(), err = temp_fd(), in = temp_fd();
    if (::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("cannot stage standard input");
    ::lseek(in, 0, SEEK_SET);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RunResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp_fd(out);
    r.err = slurp_fd(err);
    ::close(out);
    ::close(err);
    ::close(in);
    return r;
}

std::string program_path(const std::string& name) { return std::string(KX_BIN_DIR) + "/" + name; }

int err(int rc) { return rc == -1 ? kx_errno : 0; }
int err(const void* p) { return p ? 0 : kx_errno; }

int child_status(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool limit_file_size(rlim_t limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    return ::setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

}  // namespace kxtest
