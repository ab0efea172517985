// `$` expansion with fuzzed definitions: the first line of the input is a
// value, the rest are keyword lines of the "path_expand" definitions. No
// result is longer than a value may be.
#include "kx_errno.h"
#include "kxcf.h"
#include "support.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_length(const char* result, const std::string& value) {
    if (result != KXCF_FAIL && result && std::strlen(result) > KXCF_MAX_VALUE)
        kxfuzz::property_failed("an expansion is longer than a value", value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t end = text.find('\n');
    std::string value = text.substr(0, end);
    std::string definitions = end == std::string::npos ? "" : text.substr(end + 1);
    std::string file = "[system]\n(path_expand)\n" + definitions + "\n[values]\nv = " + value + "\n";
    KXCF_FILE* f = kxcf_open(kxfuzz::put_file("expand.cfg", file).c_str(), 0);
    if (!f) return 0;
    char* expanded = kxcf_expand_path(value.c_str(), f);
    if (expanded != KXCF_FAIL) {
        check_length(expanded, value);
        std::free(expanded);
    }
    check_length(kxcf_getvar(f, "values", nullptr, "v", 0), value);
    const char* keyword = nullptr;
    for (const char* v; (v = kxcf_nextvar(f, "system", "path_expand", &keyword, KXCF_UPPER)) != KXCF_FAIL;)
        check_length(v, value);
    kxcf_close(f);
    return 0;
}
