// The small value parsers on any text: size values, version numbers and
// their comparison, and debug-token lists.
#include "kx_dbg.h"
#include "kx_decode_size.h"
#include "kx_versions.h"
#include "support.h"

#include <string>

namespace {

const DBG_TOKEN kTokens[] = {{"show_args", 1}, {"show_funcs", 2}, {"show_detail", 4}, {nullptr, 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // Two texts: up to the first NUL byte, and what follows it.
    std::string first = text.substr(0, text.find('\0'));
    std::string second = first.size() < text.size() ? text.substr(first.size() + 1) : first;
    second = second.substr(0, second.find('\0'));

    kx_decode_size(first.c_str());
    int forward = kx_compare_versions(first.c_str(), second.c_str());
    int backward = kx_compare_versions(second.c_str(), first.c_str());
    // 0 lower, 1 equal, 2 higher: swapping the texts mirrors the result,
    // except between majors 2 and 4, which compare in one order only.
    KX_VERSION a, b;
    kx_parse_version(first.c_str(), &a);
    kx_parse_version(second.c_str(), &b);
    bool mapped = (a.major == 2 && b.major == 4) || (a.major == 4 && b.major == 2);
    if (!mapped && ((forward == -1) != (backward == -1) || (forward != -1 && forward + backward != 2)))
        kxfuzz::property_failed("version comparison is not antisymmetric", first + " / " + second);
    unsigned flags = 0;
    dbg_parse_tokens(&flags, kTokens, first.c_str());
    if (flags & ~7u) kxfuzz::property_failed("a bit outside the table was set", first);
    return 0;
}
