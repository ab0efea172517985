// Walking and looking up a configuration file's tree. Every walk goes on
// from the handle's position, so a full walk is linear in its list; a
// lookup by name goes through the tree's tables and does not walk at all.
#include "kx_config_internal.h"

#include <cstring>

namespace kxcf {
namespace {

const char* const kFailMarker = KXCF_FAIL;

char* fail(int code) {
    kx_errno = code;
    return KXCF_FAIL;
}

// Checks the section name (required) and the subsection name (optional).
int check_place(const char* section, const char* subsection, std::string& sec, std::string& sub) {
    int code = check_name(section, kSectionName, sec);
    if (code == 0 && subsection) code = check_name(subsection, kSubsectionName, sub);
    return code;
}

KXCF_NODE* keyword_named(KXCF_FILE* f, const KXCF_NODE* owner, const std::string& name) {
    const NodeRun* lines = keywords_named(f, owner, name);
    return lines ? (*lines)[0] : nullptr;
}

KXCF_NODE* first_subsection(KXCF_FILE* f, const KXCF_NODE* section, const std::string& name) {
    const NodeRun* named = subsections_named(f, section, name);
    return named ? (*named)[0] : nullptr;
}

// Makes SECTION current; the subsection and keyword only survive when the
// section stays the same.
void enter_section(KXCF_FILE* f, KXCF_NODE* section) {
    if (f->cur_section != section) clear_position(f);
    f->cur_section = section;
}

void set_position(KXCF_FILE* f, KXCF_NODE* section, KXCF_NODE* subsection, KXCF_NODE* list,
                  KXCF_NODE* keyword) {
    f->cur_section = section;
    f->cur_subsection = subsection;
    f->cur_list = list;
    f->cur_keyword = keyword;
}

// The list that kxcf_nextvar walks, chosen from the position; 0 or a code.
int walk_list(KXCF_FILE* f, const std::string& sec, const char* subsection, const std::string& sub,
              KXCF_NODE*& owner) {
    if (!f->cur_section || !name_is(f->cur_section, sec)) {
        KXCF_NODE* s = first_section(f, sec);
        if (!s) return KXCF_ENOSECTION;
        enter_section(f, s);
        f->cur_subsection = nullptr;
    }
    if (!subsection) {
        owner = f->cur_section;
        return 0;
    }
    if (!f->cur_subsection || !name_is(f->cur_subsection, sub)) {
        KXCF_NODE* ss = first_subsection(f, f->cur_section, sub);
        if (!ss) return KXCF_ENOSUBSECTION;
        f->cur_subsection = ss;
    }
    owner = f->cur_subsection;
    return 0;
}

// Copies the value of keyword line LINE into F's value buffer as the walking
// operations return it; the buffer, or KXCF_FAIL.
const char* deliver_value(KXCF_FILE* f, const KXCF_NODE* line, int valueflags) {
    if (!line->u.value && (valueflags & KXCF_NOTNULL)) return fail(KXCF_ENULL);
    std::string out;
    int code = expand_value(f, line->u.value, out);
    if (code == 0 && out.size() > KXCF_MAX_VALUE) code = KXCF_EVALSIZE;
    if (code != 0) return fail(code);
    if (valueflags & KXCF_LOWER)
        to_lower_ascii(out);
    else if (valueflags & KXCF_UPPER)
        to_upper_ascii(out);
    std::memcpy(f->value_buf, out.c_str(), out.size() + 1);
    return f->value_buf;
}

}  // namespace
}  // namespace kxcf

using namespace kxcf;

extern "C" int kxcf_rewind(KXCF_FILE* f) {
    if (!f) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    clear_position(f);
    return 0;
}

extern "C" const char* kxcf_nextsection(KXCF_FILE* f) {
    if (!f) return fail(KXCF_EPARAM);
    KXCF_NODE* n = f->cur_section ? f->cur_section->next : f->root;
    while (n && n->kind != KXCF_NODE_SECTION)
        n = n->next;
    if (!n) return fail(KXCF_ENOSECTION);
    set_position(f, n, nullptr, nullptr, nullptr);
    return n->name;
}

extern "C" int kxcf_findsection(KXCF_FILE* f, const char* section) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec;
        int code = f ? check_name(section, kSectionName, sec) : KXCF_EPARAM;
        KXCF_NODE* s = code ? nullptr : first_section(f, sec);
        if (!code && !s) code = KXCF_ENOSECTION;
        if (code) {
            kx_errno = code;
            return -1;
        }
        set_position(f, s, nullptr, nullptr, nullptr);
        return 0;
    });
}

extern "C" const char* kxcf_nextsubsection(KXCF_FILE* f, const char* section) {
    return guarded<const char*>(kFailMarker, [&]() -> const char* {
        std::string sec;
        int code = f ? check_name(section, kSectionName, sec) : KXCF_EPARAM;
        if (code) return fail(code);
        KXCF_NODE* ss = nullptr;
        if (f->cur_section && name_is(f->cur_section, sec)) {
            ss = f->cur_subsection ? f->cur_subsection->next : f->cur_section->subsections;
        } else {
            const NodeRun* sections = sections_named(f, sec);
            if (!sections) return fail(KXCF_ENOSECTION);
            for (std::size_t i = 0; i < sections->size() && !ss; ++i) {
                set_position(f, (*sections)[i], nullptr, nullptr, nullptr);
                ss = (*sections)[i]->subsections;
            }
        }
        if (!ss) return fail(KXCF_ENOSUBSECTION);
        set_position(f, f->cur_section, ss, nullptr, nullptr);
        return ss->name;
    });
}

extern "C" int kxcf_findsubsection(KXCF_FILE* f, const char* section, const char* subsection) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec, sub;
        int code = f ? check_place(section, subsection, sec, sub) : KXCF_EPARAM;
        if (!code && !subsection) code = KXCF_EPARAM;
        KXCF_NODE* s = code ? nullptr : first_section(f, sec);
        if (!code && !s) code = KXCF_ENOSECTION;
        if (code) {
            kx_errno = code;
            return -1;
        }
        enter_section(f, s);
        const NodeRun* named = subsections_named(f, s, sub);
        KXCF_NODE* ss = named ? named->back() : nullptr;
        if (!ss) {
            kx_errno = KXCF_ENOSUBSECTION;
            return -1;
        }
        set_position(f, s, ss, nullptr, nullptr);
        return 0;
    });
}

extern "C" const char* kxcf_nextvar(KXCF_FILE* f, const char* section, const char* subsection,
                                    const char** keyword_out, int valueflags) {
    return guarded<const char*>(kFailMarker, [&]() -> const char* {
        if (keyword_out) *keyword_out = nullptr;
        std::string sec, sub;
        int code = f ? check_place(section, subsection, sec, sub) : KXCF_EPARAM;
        KXCF_NODE* owner = nullptr;
        if (!code) code = walk_list(f, sec, subsection, sub, owner);
        if (code) return fail(code);
        // The walk goes on only within the list it was walking; a position left
        // in another list of the section starts this one at its head.
        KXCF_NODE* start =
            f->cur_keyword && f->cur_list == owner ? f->cur_keyword->next : owner->u.lines;
        KXCF_NODE* line = keyword_line_from(start);
        if (!line) {
            if (f->cur_list != owner) f->cur_keyword = nullptr;
            f->cur_list = owner;
            return fail(KXCF_ENOKEYWORD);
        }
        f->cur_list = owner;
        f->cur_keyword = line;
        const char* value = deliver_value(f, line, valueflags);
        if (keyword_out && value != KXCF_FAIL) *keyword_out = line->name;
        return value;
    });
}

extern "C" const char* kxcf_getvar(KXCF_FILE* f, const char* section, const char* subsection,
                                   const char* keyword, int valueflags) {
    return guarded<const char*>(kFailMarker, [&]() -> const char* {
        std::string sec, sub, kw;
        int code = f ? check_place(section, subsection, sec, sub) : KXCF_EPARAM;
        if (!code) code = check_name(keyword, kKeywordName, kw);
        if (code) return fail(code);
        const NodeRun* sections = sections_named(f, sec);
        if (!sections) return fail(KXCF_ENOSECTION);
        bool any_subsection = false;
        for (std::size_t i = 0; i < sections->size(); ++i) {
            KXCF_NODE* s = (*sections)[i];
            if (!subsection) {
                if (KXCF_NODE* line = keyword_named(f, s, kw)) {
                    set_position(f, s, f->cur_section == s ? f->cur_subsection : nullptr, s, line);
                    return deliver_value(f, line, valueflags);
                }
                continue;
            }
            const NodeRun* lists = subsections_named(f, s, sub);
            for (std::size_t j = 0; lists && j < lists->size(); ++j) {
                KXCF_NODE* ss = (*lists)[j];
                any_subsection = true;
                if (KXCF_NODE* line = keyword_named(f, ss, kw)) {
                    set_position(f, s, ss, ss, line);
                    return deliver_value(f, line, valueflags);
                }
            }
        }
        return fail(subsection && !any_subsection ? KXCF_ENOSUBSECTION : KXCF_ENOKEYWORD);
    });
}
