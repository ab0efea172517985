// Turning a text of debug words into debug bits.

#include "kx_dbg.h"

#include <array>
#include <cctype>
#include <cstring>

namespace {

// Tokens this long or longer are never names of a debug bit.
constexpr std::size_t kTokenLimit = 120;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_separator(char c) { return is_blank(c) || c == '|' || c == ','; }
bool ends_token(char c) { return c == '\0' || c == '\n' || is_separator(c); }

unsigned bits_of(const DBG_TOKEN* table, const char* token) {
    unsigned bits = 0;
    for (const DBG_TOKEN* row = table; row->name != nullptr && row->bit != 0; ++row)
        if (dbg_token_match(token, row->name) == 0) bits |= row->bit;
    return bits;
}

}  // namespace

extern "C" void dbg_parse_tokens(unsigned* flags, const DBG_TOKEN* table, const char* text) {
    if (flags == nullptr || table == nullptr || text == nullptr) return;
    const char* p = text;
    while (is_blank(*p)) ++p;
    while (*p != '\0' && *p != '\n') {
        const char* start = p;
        while (!ends_token(*p)) ++p;
        const std::size_t length = static_cast<std::size_t>(p - start);
        // An empty token can only stand first: a leading "|" or "," ends
        // the parse before anything is set.
        if (length == 0) return;
        const bool last = *p == '\n';
        while (is_separator(*p)) ++p;
        if (length < kTokenLimit) {
            std::array<char, kTokenLimit> token{};
            std::memcpy(token.data(), start, length);
            *flags |= bits_of(table, token.data());
        }
        if (last) return;
    }
}

extern "C" int dbg_token_match(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return -1;
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return -1;
    return *a == *b ? 0 : -1;
}
