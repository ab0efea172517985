// Size values of the configuration: number, optional blanks, unit letter.
#include "kx_decode_size.h"

#include <cctype>
#include <climits>
#include <string>

#include "kx_errno.h"
#include "kx_text.h"
#include "kxcf.h"

namespace {

constexpr int kOverflow = 8011;  // "Data overflows defined data type"

struct Unit {
    char letter;
    long multiplier;
    long max_number;  // keeps the result within a signed 32-bit value
};

constexpr Unit kUnits[] = {
    {'b', 1, INT_MAX},
    {'k', 1024, 2097151},
    {'m', 1048576, 2047},
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

extern "C" int kx_decode_size(const char* text) {
    if (!text) {
        kx_errno = KXCF_ESIZEALPHA;
        return -1;
    }
    std::string s = text;
    kx_internal::to_lower_ascii(s);
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) {
        kx_errno = KXCF_ESIZEALPHA;
        return -1;
    }
    // Digits beyond any unit's limit are counted as "too large" rather than
    // read into a number that would overflow.
    long number = 0;
    bool too_large = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (number > INT_MAX / 10) too_large = true;
        else number = number * 10 + (s[i] - '0');
    }
    while (i < s.size() && is_blank(s[i])) ++i;
    for (const Unit& unit : kUnits) {
        if (i >= s.size() || s[i] != unit.letter) continue;
        if (too_large || number > unit.max_number) {
            kx_errno = kOverflow;
            return -1;
        }
        return static_cast<int>(number * unit.multiplier);
    }
    kx_errno = KXCF_ESIZELABEL;
    return -1;
}
