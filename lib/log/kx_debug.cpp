// The debug trace file.

#include "kx_dbg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "kx_errno.h"
#include "kx_guards.h"
#include "kx_main_config.h"

unsigned debug_flags = 0;

namespace {

enum DebugError {
    kAlreadyOpen = 9001,
    kNullName = 9002,
    kEmptyName = 9003,
    kBadName = 9004,
    kNoDebugDir = 9006,
    kNotADirectory = 9007,
    kDirNotWritable = 9008,
    kCloseBeforeOpen = 9009,
    kDbgBeforeOpen = 9010,
    kContBeforeOpen = 9011,
    kNothingToFlush = 9012,
    kBadControl = 9013,
};

enum ControlOp { kStampOn = 0, kStampOff = 1, kCloseFile = 2 };

using File = kx_internal::FilePtr;

// The one debug facility of the process. The file is opened on the first
// write after dbg_open, so a program that traces nothing creates nothing.
struct DebugState {
    std::string name;
    bool opened = false;
    bool stamp = false;
    bool unflushed = false;
    std::string path;
    File file;
};

DebugState& debug() {
    static DebugState state;
    return state;
}

void close_debug_file(DebugState& d) {
    d.file.reset();
    d.unflushed = false;  // closing has written whatever was pending
}

// Opens the debug file for appending when it is not open yet; a fresh
// opening starts with a time-stamp line.
bool ensure_debug_file(DebugState& d, bool& just_opened) {
    just_opened = false;
    if (d.file) return true;
    d.file.reset(std::fopen(d.path.c_str(), "ae"));
    if (!d.file) {
        kx_errno = errno;
        return false;
    }
    just_opened = true;
    dbg_timestamp();
    return true;
}

// The caller's name has its white space replaced in place; a control
// character left after that makes it unusable.
bool clean_program_name(char* name) {
    bool clean = true;
    for (char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (std::isspace(c))
            *p = '_';
        else if (std::iscntrl(c))
            clean = false;
    }
    return clean;
}

// 0 when the directory part of PATH (everything before its last "/") is a
// directory the process may write in, else the reason. A path without any
// "/" names no directory and is refused.
int check_debug_dir(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return kNoDebugDir;
    // Examined without its closing "/", so that a file standing where the
    // directory should be is told apart from a missing directory.
    const std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return kNoDebugDir;
    if (!S_ISDIR(st.st_mode)) return kNotADirectory;
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return kDirNotWritable;
    return 0;
}

int open_debug(char* name) {
    DebugState& d = debug();
    if (d.opened) {
        kx_errno = kAlreadyOpen;
        return -1;
    }
    if (name == nullptr) {
        kx_errno = kNullName;
        return -1;
    }
    if (*name == '\0') {
        kx_errno = kEmptyName;
        return -1;
    }
    std::string copy = name;
    if (!clean_program_name(name)) {
        kx_errno = kBadName;
        return -1;
    }
    std::string path;
    {
        kx_internal::MainConfig config;
        if (!config.get("log_files", "debug", "log_file", path)) return -1;
    }
    if (const int reason = check_debug_dir(path); reason != 0) {
        kx_errno = reason;
        return -1;
    }
    d.name = std::move(copy);
    d.path = std::move(path);
    d.opened = true;
    return 0;
}

void write_debug_line(const char* line, bool continued) {
    DebugState& d = debug();
    if (!d.opened) {
        kx_errno = continued ? kContBeforeOpen : kDbgBeforeOpen;
        return;
    }
    const bool was_pending = d.unflushed;
    bool just_opened = false;
    if (!ensure_debug_file(d, just_opened)) return;
    if (!just_opened && d.stamp && !(continued && was_pending)) dbg_timestamp();
    std::fprintf(d.file.get(), "%s\n", line != nullptr ? line : "");
    if (continued) {
        d.unflushed = true;
    } else {
        std::fflush(d.file.get());
        d.unflushed = false;
    }
}

}  // namespace

extern "C" int dbg_open(char* name) {
    try {
        return open_debug(name);
    } catch (const std::bad_alloc&) {
        kx_errno = ENOMEM;
        return -1;
    }
}

extern "C" void dbg_close(void) {
    DebugState& d = debug();
    if (!d.opened) {
        kx_errno = kCloseBeforeOpen;
        return;
    }
    close_debug_file(d);
    d.name.clear();
    d.opened = false;
}

extern "C" void kx_dbg(const char* line) { write_debug_line(line, false); }

extern "C" void kx_dbg_cont(const char* line) { write_debug_line(line, true); }

extern "C" void dbg_flush(void) {
    DebugState& d = debug();
    if (!d.unflushed) {
        kx_errno = kNothingToFlush;
        return;
    }
    std::fflush(d.file.get());
    d.unflushed = false;
}

extern "C" int dbg_ctrl(int op) {
    DebugState& d = debug();
    switch (op) {
        case kStampOn:
            d.stamp = true;
            return 0;
        case kStampOff:
            d.stamp = false;
            return 0;
        case kCloseFile:
            close_debug_file(d);
            return 0;
        default:
            kx_errno = kBadControl;
            return -1;
    }
}

extern "C" void dbg_timestamp(void) {
    DebugState& d = debug();
    if (!d.file) return;
    const std::time_t now = std::time(nullptr);
    char text[64];
    if (ctime_r(&now, text) == nullptr) return;
    int length = static_cast<int>(std::strlen(text));
    if (length > 0) --length;  // ctime's newline
    std::fprintf(d.file.get(), "%.*s %s\n", length, text, d.name.c_str());
}

extern "C" void dbg_show_args(int argc, char** argv) {
    if (argv == nullptr) return;
    try {
        const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
        for (int i = 1; i < argc; ++i) {
            const char* arg = argv[i] != nullptr ? argv[i] : "";
            const std::string line =
                std::string(program) + " arg[" + std::to_string(i) + "] = '" + arg + "'";
            kx_dbg(line.c_str());
        }
    } catch (const std::bad_alloc&) {
        kx_errno = ENOMEM;
    }
}
