// The checksum keyword of a subsection: an MD5 digest of the subsection's
// keyword lines, stored as four hexadecimal numbers, so that a program can
// tell whether the subsection was changed by hand.
#include "kx_config_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kxcf {
namespace {

constexpr const char* kChecksumPrefix = "cksum_";
constexpr std::size_t kDigestWords = 4;

using Words = std::array<std::uint32_t, kDigestWords>;

// MD5 (RFC 1321), kept here rather than taken from a crypto library: it
// is the only digest the suite needs, and a crypto library linked into
// every program costs each start far more than the digest.
class Md5 {
public:
    void add(const char* s) { add(reinterpret_cast<const unsigned char*>(s), std::strlen(s)); }
    // The digest's bytes four at a time, each group little-endian: the
    // state words themselves.
    void finish(Words& words) {
        const std::uint64_t bits = length_ * 8;
        static const unsigned char kPadding[64] = {0x80};
        add(kPadding, (55 + 64 - length_ % 64) % 64 + 1);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));
        add(length, sizeof length);
        words = state_;
    }

private:
    void add(const unsigned char* p, std::size_t n) {
        length_ += n;
        while (n > 0) {
            const std::size_t take = std::min(n, sizeof block_ - used_);
            std::memcpy(block_ + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
            if (used_ == sizeof block_) {
                compress();
                used_ = 0;
            }
        }
    }

    // The sines' table: the integer part of 2^32 |sin(i + 1)|.
    static const std::array<std::uint32_t, 64>& sines() {
        static const std::array<std::uint32_t, 64> table = [] {
            std::array<std::uint32_t, 64> t{};
            for (int i = 0; i < 64; ++i)
                t[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
            return t;
        }();
        return table;
    }

    void compress() {
        static const unsigned kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = static_cast<std::uint32_t>(block_[4 * i]) | static_cast<std::uint32_t>(block_[4 * i + 1]) << 8 |
                   static_cast<std::uint32_t>(block_[4 * i + 2]) << 16 |
                   static_cast<std::uint32_t>(block_[4 * i + 3]) << 24;
        const std::array<std::uint32_t, 64>& sines = Md5::sines();
        std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            switch (i / 16) {
                case 0: f = (b & c) | (~b & d); g = i; break;
                case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
                case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
                default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
            }
            f += a + sines[i] + m[g];
            a = d;
            d = c;
            c = b;
            b += std::rotl(f, static_cast<int>(kShifts[i / 16][i % 4]));
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    Words state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    unsigned char block_[64];
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

bool hex_digit(char c, unsigned& v) {
    if (c >= '0' && c <= '9')
        v = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
        v = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        v = static_cast<unsigned>(c - 'A' + 10);
    else
        return false;
    return true;
}

// Reads "%lx,%lx,%lx,%lx", or three numbers with the fourth taken as 0.
bool parse_stored(const char* s, Words& words) {
    words.fill(0);
    std::size_t count = 0;
    while (count < kDigestWords) {
        std::uint64_t v = 0;
        std::size_t digits = 0;
        unsigned d;
        for (; hex_digit(*s, d); ++s, ++digits) {
            v = v << 4 | d;
            if (v > UINT32_MAX) return false;
        }
        if (digits == 0) return false;
        words[count++] = static_cast<std::uint32_t>(v);
        if (*s != ',') break;
        ++s;
    }
    return *s == '\0' && count >= kDigestWords - 1;
}

std::string format_words(const Words& w) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lx,%lx,%lx,%lx", static_cast<unsigned long>(w[0]),
                  static_cast<unsigned long>(w[1]), static_cast<unsigned long>(w[2]),
                  static_cast<unsigned long>(w[3]));
    return buf;
}

bool is_checksum_keyword(const KXCF_NODE* n) {
    return std::strncmp(n->name, kChecksumPrefix, std::strlen(kChecksumPrefix)) == 0;
}

// Digests the keyword lines of OWNER's list as the walk returns them: the
// name followed by the value, checksum keywords left out. The stored value
// of KEYWORD, when readable, goes to STORED. 0 or an error code.
int digest_list(KXCF_FILE* f, KXCF_NODE* owner, const std::string& keyword, Words& computed,
                bool& has_stored, Words& stored) {
    Md5 md5;
    has_stored = false;
    std::string value;
    for (KXCF_NODE* n = keyword_line_from(owner->u.lines); n; n = keyword_line_from(n->next)) {
        if (name_is(n, keyword)) {
            if (n->u.value && !has_stored) has_stored = parse_stored(n->u.value, stored);
            continue;
        }
        if (is_checksum_keyword(n)) continue;
        if (int code = expand_value(f, n->u.value, value); code != 0) return code;
        md5.add(n->name);
        md5.add(value.c_str());
    }
    md5.finish(computed);
    return 0;
}

// The subsection that kxcf_findsubsection makes current: the last one of
// that name in the first section of that name.
int locate_subsection(KXCF_FILE* f, const std::string& section, const std::string& subsection,
                      KXCF_NODE*& owner) {
    KXCF_NODE* s = first_section(f, section);
    if (!s) return KXCF_ENOSECTION;
    const NodeRun* named = subsections_named(f, s, subsection);
    owner = named ? named->back() : nullptr;
    return owner ? 0 : KXCF_ENOSUBSECTION;
}

}  // namespace
}  // namespace kxcf

using namespace kxcf;

extern "C" int kxcf_cksum(KXCF_FILE* f, const char* section, const char* subsection,
                          const char* name) {
    return guarded<int>(-1, [&]() -> int {
        // The keyword name is formed first, cut to the longest keyword name.
        std::string keyword = name ? kChecksumPrefix + std::string(name) : std::string();
        keyword.resize(std::min(keyword.size(), std::size_t{KXCF_MAX_NAME}));
        std::string kw;
        if (!f || check_name(keyword.c_str(), kKeywordName, kw) != 0) {
            kx_errno = KXCF_EPARAM;
            return -1;
        }
        if (kxcf_findsubsection(f, section, subsection) != 0) return -1;
        const std::string sec = f->cur_section->name, sub = f->cur_subsection->name;

        Words computed{}, stored{};
        bool has_stored = false;
        int code = digest_list(f, f->cur_subsection, kw, computed, has_stored, stored);
        if (code != 0) {
            kx_errno = code;
            return -1;
        }
        if (has_stored && stored == computed) return 0;

        // Digested again inside the edit: in immediate mode the file was just
        // re-read under the lock, and the stored checksum must match it.
        auto locate = [&](KXCF_FILE* h, KXCF_NODE*& owner) {
            return locate_subsection(h, sec, sub, owner);
        };
        auto store = [&](KXCF_FILE* h, KXCF_NODE* owner) {
            int rc = digest_list(h, owner, kw, computed, has_stored, stored);
            return rc ? rc : set_instance(h, owner, kw, format_words(computed).c_str(), 1);
        };
        return run_edit(f, locate, store) == 0 ? 1 : -1;
    });
}
