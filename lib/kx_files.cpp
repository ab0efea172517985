// File and path utilities of the suite: where the product lives, file tests,
// copying and lock files.
#include "kx_files.h"

#include "kx_errno.h"

#include <pwd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kMaxPath = 1024;
constexpr const char* kHomeVariable = "KESTRIX_HOME";
constexpr const char* kProductAccount = "kestrix";
constexpr const char* kConfigSubdir = "/qzt/etc/";

// Process-wide result buffers: each call of the same operation overwrites its
// own, as callers that keep a result copy it.
std::string home_buffer;
std::string config_dir_buffer;

}  // namespace

extern "C" const char* get_kx_home(void) {
    const char* env = std::getenv(kHomeVariable);
    if (env) {
        if (std::strlen(env) > kMaxPath) return nullptr;
        home_buffer = env;
        return home_buffer.c_str();
    }
    const struct passwd* pw = getpwnam(kProductAccount);
    if (!pw || !pw->pw_dir || std::strlen(pw->pw_dir) > kMaxPath) return nullptr;
    home_buffer = pw->pw_dir;
    return home_buffer.c_str();
}

extern "C" const char* get_config_dir(void) {
    const char* home = get_kx_home();
    if (!home) return nullptr;
    if (std::strlen(home) + std::strlen(kConfigSubdir) > kMaxPath) return nullptr;
    config_dir_buffer = std::string(home) + kConfigSubdir;
    return config_dir_buffer.c_str();
}
