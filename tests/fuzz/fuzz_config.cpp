// The configuration file reader on any bytes: it refuses or accepts without
// a fault, and what the library writes of an accepted file it reads back to
// the same tree, which it writes again byte for byte the same.
#include "kx_config_internal.h"
#include "kxcf.h"
#include "support.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool same_text(const char* a, const char* b) {
    return (!a && !b) || (a && b && std::strcmp(a, b) == 0);
}

// Whole lists compared node by node: kind, text, name, value or lines, and
// subsections.
bool same_list(const KXCF_NODE* a, const KXCF_NODE* b) {
    for (; a && b; a = a->next, b = b->next) {
        if (a->kind != b->kind || !same_text(a->text, b->text) || !same_text(a->name, b->name))
            return false;
        bool line = a->kind == KXCF_NODE_LINE;
        if (line ? !same_text(a->u.value, b->u.value) : !same_list(a->u.lines, b->u.lines)) return false;
        if (a->kind == KXCF_NODE_SECTION && !same_list(a->subsections, b->subsections)) return false;
    }
    return !a && !b;
}

std::string written(const KXCF_NODE* root) {
    char* buf = nullptr;
    std::size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (!out || kxcf::write_tree(root, out) != 0 || std::fclose(out) != 0)
        kxfuzz::property_failed("the writer failed", "");
    std::string text(buf, len);
    std::free(buf);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = kxfuzz::put_file("input.cfg", data, size);
    KXCF_FILE* first = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    if (!first) return 0;
    std::string text = written(first->root);
    KXCF_FILE* second = kxcf_open(kxfuzz::put_file("written.cfg", text).c_str(), KXCF_NOEXPAND);
    if (!second) kxfuzz::property_failed("the written file is refused", text);
    if (!same_list(first->root, second->root)) kxfuzz::property_failed("the tree read back differs", text);
    if (written(second->root) != text) kxfuzz::property_failed("the second write differs", text);
    kxcf_close(second);
    kxcf_close(first);
    return 0;
}
