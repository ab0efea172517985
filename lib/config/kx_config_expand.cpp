// `$` references in values: replaced from the environment, from the
// "path_expand" definitions of section "system", and for the product home
// from the product account's home directory.
#include "kx_config_internal.h"

#include <pwd.h>

#include <cstdlib>
#include <cstring>

namespace kxcf {
namespace {

constexpr const char* kDefinitionSection = "system";
constexpr const char* kDefinitionSubsection = "path_expand";
constexpr const char* kHomeVariable = "kestrix_home";
constexpr const char* kProductAccount = "kestrix";

bool starts_reference_after(char c) {
    return c == '/' || c == ' ' || c == '\t';
}
bool ends_reference(char c) {
    return c == '/' || c == ' ' || c == '\t' || c == '\n';
}

// A definition without a value defines nothing, so the search goes on: an
// empty replacement would turn "$dir/file" into "/file".
const char* definition(const KXCF_FILE* f, const std::string& name) {
    if (!f->expand_list || name.size() > KXCF_MAX_NAME) return nullptr;
    for (KXCF_NODE* n = keyword_line_from(f->expand_list->u.lines); n;
         n = keyword_line_from(n->next))
        if (name_is(n, name) && n->u.value) return n->u.value;
    return nullptr;
}

// Names of any length are looked up as written; only definitions are
// limited to the keyword length of the format.
std::string resolve(const KXCF_FILE* f, const std::string& name) {
    if (const char* env = std::getenv(name.c_str())) return env;
    std::string lower = name;
    to_lower_ascii(lower);
    if (const char* def = definition(f, lower)) return def;
    if (lower == kHomeVariable) {
        const struct passwd* pw = getpwnam(kProductAccount);
        if (pw && pw->pw_dir) return pw->pw_dir;
    }
    return "$" + lower;
}

class Output {
public:
    explicit Output(std::string& out) : out_(out) { out_.clear(); }
    bool add(const std::string& s) { return add(s.data(), s.size()); }
    bool add(char c) { return add(&c, 1); }

private:
    bool add(const char* s, std::size_t n) {
        if (out_.size() + n > KXCF_MAX_VALUE) return false;
        out_.append(s, n);
        return true;
    }
    std::string& out_;
};

}  // namespace

void find_expand_list(KXCF_FILE* f) {
    f->expand_list = nullptr;
    const NodeRun* sections = sections_named(f, kDefinitionSection);
    for (std::size_t i = 0; sections && i < sections->size() && !f->expand_list; ++i) {
        const NodeRun* lists = subsections_named(f, (*sections)[i], kDefinitionSubsection);
        if (lists) f->expand_list = (*lists)[0];
    }
}

int expand_value(const KXCF_FILE* f, const char* value, std::string& result) {
    Output out(result);
    if (!value) return 0;
    if (f->flags & KXCF_NOEXPAND) {
        result = value;
        return 0;
    }
    std::size_t n = std::strlen(value);
    for (std::size_t i = 0; i < n; ++i) {
        char c = value[i];
        if (c == '$' && (i == 0 || starts_reference_after(value[i - 1]))) {
            std::size_t end = i + 1;
            while (end < n && !ends_reference(value[end]))
                ++end;
            if (!out.add(resolve(f, std::string(value + i + 1, end - i - 1)))) return KXCF_EVALSIZE;
            if (end == n || value[end] == '\n') break;
            if (!out.add(value[end])) return KXCF_EVALSIZE;
            i = end;
            continue;
        }
        if (!out.add(c)) return KXCF_EVALSIZE;
        if (c == '\n') break;
    }
    return 0;
}

}  // namespace kxcf

using namespace kxcf;

extern "C" char* kxcf_expand_path(const char* value, KXCF_FILE* f) {
    if (!f) {
        kx_errno = KXCF_EPARAM;
        return KXCF_FAIL;
    }
    std::string out;
    try {
        if (int code = expand_value(f, value, out); code != 0) {
            kx_errno = code;
            return KXCF_FAIL;
        }
    } catch (const std::bad_alloc&) {
        kx_errno = ENOMEM;
        return KXCF_FAIL;
    }
    char* copy = strdup(out.c_str());
    if (!copy) {
        kx_errno = ENOMEM;
        return KXCF_FAIL;
    }
    return copy;
}
