// The last component of a path. This file includes nothing that declares
// glibc's basename, which is marked as never taking null; ours accepts it.
#include "kx_files.h"

namespace {

char current_dir[] = ".";
char root_dir[] = "/";

}  // namespace

char* basename(char* path) noexcept {
    if (!path || !*path) return current_dir;
    char* end = path;
    while (*end) ++end;
    while (end > path && end[-1] == '/') *--end = '\0';
    if (end == path) return root_dir;
    char* start = end;
    while (start > path && start[-1] != '/') --start;
    return start;
}
