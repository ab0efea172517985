// The checksum keyword of a subsection: an MD5 digest of the subsection's
// keyword lines, stored as four hexadecimal numbers, so that a program can
// tell whether the subsection was changed by hand.
#include "kx_config_internal.h"

#include <md5.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kxcf {
namespace {

constexpr const char* kChecksumPrefix = "cksum_";
constexpr std::size_t kDigestWords = 4;

using Words = std::array<std::uint32_t, kDigestWords>;

// MD5 (RFC 1321) from libmd: a digest library of a few kilobytes, where a
// crypto library linked into every program would cost each start more than
// the digest ever does.
class Md5 {
public:
    Md5() { MD5Init(&context_); }
    void add(const char* s) { MD5Update(&context_, reinterpret_cast<const std::uint8_t*>(s), std::strlen(s)); }
    // The digest's bytes four at a time, each group little-endian.
    void finish(Words& words) {
        std::uint8_t digest[MD5_DIGEST_LENGTH];
        MD5Final(digest, &context_);
        for (std::size_t i = 0; i < kDigestWords; ++i)
            words[i] = static_cast<std::uint32_t>(digest[4 * i]) | static_cast<std::uint32_t>(digest[4 * i + 1]) << 8 |
                       static_cast<std::uint32_t>(digest[4 * i + 2]) << 16 |
                       static_cast<std::uint32_t>(digest[4 * i + 3]) << 24;
    }

private:
    MD5_CTX context_;
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
