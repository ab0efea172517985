#include "support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace kxfuzz {
namespace {

// Never destroyed: the exit handler below still needs them.
std::set<std::string>& made_files() {
    static auto* files = new std::set<std::string>;
    return *files;
}

// The directory goes when the run ends normally; a crash keeps it for a look.
void remove_work_dir() {
    for (const std::string& path : made_files()) unlink(path.c_str());
    rmdir(work_dir().c_str());
}

}  // namespace

const std::string& work_dir() {
    static const std::string& dir = *new std::string([] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kxfuzz.XXXXXX";
        if (!mkdtemp(tmpl.data())) std::abort();
        setenv("KESTRIX_HOME", tmpl.c_str(), 1);
        std::atexit(remove_work_dir);
        return tmpl;
    }());
    return dir;
}

std::string put_file(const char* name, const std::uint8_t* data, std::size_t size) {
    std::string path = work_dir() + "/" + name;
    made_files().insert(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
    return path;
}

std::string put_file(const char* name, const std::string& text) {
    return put_file(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void property_failed(const char* what, const std::string& detail) {
    std::fprintf(stderr, "property failed: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace kxfuzz
