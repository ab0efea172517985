// Product version texts such as "v4.0.1": parsing and comparison.
#include "kx_versions.h"

#include "kx_main_config.h"
#include "kxcf.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace {

constexpr char kVersionMark = 'v';
constexpr char kFieldSeparator = '.';
constexpr int kFieldCount = 3;
constexpr int kMinFieldsRead = 2;

constexpr int kResultInvalid = -1;
constexpr int kResultLower = 0;
constexpr int kResultEqual = 1;
constexpr int kResultHigher = 2;

// The one pair of majors that is comparable across the gap: a first text of
// major 2 is read as major 4 against a second of major 4, and a first of 4
// cannot be compared with a second of 2.
constexpr int kMappedMajor = 2;
constexpr int kMappedToMajor = 4;

constexpr const char* kVersionSection = "system";
constexpr const char* kVersionKeyword = "kestrix_version";


enum class Scan { ok, none, out_of_range };

// Reads one signed decimal integer as a "%d" conversion does (leading white
// space and a sign allowed), but refuses a number out of range instead of
// leaving it undefined. Advances TEXT past it on success.
Scan read_int(const char*& text, int& out) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!std::isdigit(static_cast<unsigned char>(*p))) return Scan::none;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) return Scan::out_of_range;
    }
    out = static_cast<int>(negative ? -value : value);
    text = p;
    return Scan::ok;
}

// Number of fields of "v%d.%d.%d" read into FIELDS, or -1 when a number is
// out of range.
int scan_fields(const char* text, int* const fields[kFieldCount]) {
    if (*text++ != kVersionMark) return 0;
    for (int i = 0; i < kFieldCount; ++i) {
        if (i > 0 && *text++ != kFieldSeparator) return i;
        switch (read_int(text, *fields[i])) {
        case Scan::ok: break;
        case Scan::none: return i;
        case Scan::out_of_range: return -1;
        }
    }
    return kFieldCount;
}

int compare_fields(int first, int second) {
    if (first < second) return kResultLower;
    if (first > second) return kResultHigher;
    return kResultEqual;
}

}  // namespace

extern "C" int kx_parse_version(const char* text, KX_VERSION* version) {
    KX_VERSION scratch;
    KX_VERSION* out = version ? version : &scratch;
    out->major = out->minor = out->patch = 0;
    if (!text) return -1;
    int* const fields[kFieldCount] = {&out->major, &out->minor, &out->patch};
    return scan_fields(text, fields) >= kMinFieldsRead ? 0 : -1;
}

extern "C" int kx_compare_versions(const char* first, const char* second) {
    if (!first && !second) return kResultEqual;
    if (!first) return kResultLower;
    if (!second) return kResultHigher;
    KX_VERSION a;
    KX_VERSION b;
    if (kx_parse_version(first, &a) != 0 || kx_parse_version(second, &b) != 0)
        return kResultInvalid;
    if (a.major == kMappedToMajor && b.major == kMappedMajor) return kResultInvalid;
    if (a.major == kMappedMajor && b.major == kMappedToMajor) a.major = kMappedToMajor;
    int result = compare_fields(a.major, b.major);
    if (result == kResultEqual) result = compare_fields(a.minor, b.minor);
    if (result == kResultEqual) result = compare_fields(a.patch, b.patch);
    return result;
}

extern "C" char* kx_get_config_version(const char* path) {
    kx_internal::CfgHandle config(kxcf_open(path, 0));
    if (!config) return nullptr;
    const char* value = kxcf_getvar(config.get(), kVersionSection, nullptr, kVersionKeyword, 0);
    return value == KXCF_FAIL ? nullptr : strdup(value);
}
