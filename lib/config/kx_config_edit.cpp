// Editing a configuration file's tree: sections, subsections and keyword
// lines added, changed and removed. Each edit checks its arguments first,
// then runs in the edit frame (update mode: in memory only; immediate mode:
// locked, re-read, written back).
#include "kx_config_internal.h"

#include <cstdlib>
#include <cstring>

namespace kxcf {
namespace {

int fail(int code) {
    kx_errno = code;
    return -1;
}

// White space removed from both ends of a value given to kxcf_setvar_inst.
bool is_value_space(char c) {
    return std::strchr(" \t\n\v\f\r", c) && c != '\0';
}

std::string strip_value(const char* value) {
    std::size_t start = 0, end = std::strlen(value);
    while (start < end && is_value_space(value[start]))
        ++start;
    while (end > start && is_value_space(value[end - 1]))
        --end;
    return std::string(value + start, end - start);
}

// The list an edit works on: the own list of the first section of that name,
// or the first subsection of that name in the sections of that name.
int locate_list(KXCF_FILE* f, const std::string& section, const std::string* subsection,
                KXCF_NODE*& owner) {
    KXCF_NODE* s = section_from(f->root, section);
    if (!s) return KXCF_ENOSECTION;
    if (!subsection) {
        owner = s;
        return 0;
    }
    for (; s; s = section_from(s->next, section)) {
        if ((owner = subsection_from(s->subsections, *subsection))) return 0;
    }
    return KXCF_ENOSUBSECTION;
}

// A section and a subsection, both required.
int check_subsection_args(KXCF_FILE* f, const char* section, const char* subsection,
                          std::string& sec, std::string& sub) {
    int code = f ? check_name(section, kSectionName, sec) : KXCF_EPARAM;
    return code ? code : check_name(subsection, kSubsectionName, sub);
}

// The arguments of the edits that set or remove a keyword: section and
// keyword required, subsection optional; a bad keyword name is 1001.
struct KeywordArgs {
    std::string section;
    std::string subsection;
    std::string keyword;
    bool has_subsection = false;

    int check(const KXCF_FILE* f, const char* sec, const char* sub, const char* kw) {
        int code = f ? check_name(sec, kSectionName, section) : KXCF_EPARAM;
        if (!code && sub) {
            code = check_name(sub, kSubsectionName, subsection);
            has_subsection = true;
        }
        if (!code && check_name(kw, kKeywordName, keyword) != 0) code = KXCF_EPARAM;
        return code;
    }
    // Finds the list the edit works on.
    auto locator() const {
        return [this](KXCF_FILE* h, KXCF_NODE*& owner) {
            return locate_list(h, section, has_subsection ? &subsection : nullptr, owner);
        };
    }
};

// A value given to an edit must fit the format: at most 1152 characters and
// no newline, which would split the written line and be read back as lines
// of its own.
bool value_fits(const char* value) {
    return !value || (std::strlen(value) <= KXCF_MAX_VALUE && !std::strchr(value, '\n'));
}

KXCF_NODE* last_of(KXCF_NODE* first) {
    while (first && first->next)
        first = first->next;
    return first;
}

int insert_keyword(KXCF_NODE* owner, KXCF_NODE* after, const std::string& keyword,
                   const char* value) {
    KXCF_NODE* line = make_keyword_line(keyword.c_str(), value);
    if (!line) return ENOMEM;
    link_after(owner->u.lines, after, line);
    return 0;
}

int add_container(KXCF_NODE*& head, int kind, const std::string& name) {
    KXCF_NODE* node = make_node(kind, name.c_str(), "");
    if (!node) return ENOMEM;
    link_after(head, last_of(head), node);
    return 0;
}

// Takes NODE out of the list whose head is HEAD and frees it; nothing of
// the handle is left pointing into it.
int remove_node(KXCF_FILE* f, KXCF_NODE*& head, KXCF_NODE* node) {
    forget_node(f, node);
    unlink_node(head, node);
    free_list(node);
    find_expand_list(f);
    return 0;
}

int locate_root(KXCF_FILE*, KXCF_NODE*& owner) {
    owner = nullptr;
    return 0;
}

}  // namespace

int set_instance(KXCF_NODE* owner, const std::string& keyword, const char* value, int instance) {
    KXCF_NODE* last = nullptr;
    int count = 0;
    for (KXCF_NODE* n = keyword_line_from(owner->u.lines); n; n = keyword_line_from(n->next)) {
        last = n;
        if (!name_is(n, keyword) || ++count < instance) continue;
        char* copy = nullptr;
        if (value && !(copy = strdup(value))) return ENOMEM;
        std::free(n->u.value);
        n->u.value = copy;
        return 0;
    }
    return insert_keyword(owner, last, keyword, value);
}

}  // namespace kxcf

using namespace kxcf;

extern "C" int kxcf_setsection(KXCF_FILE* f, const char* section) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec;
        if (!f || check_name(section, kSectionName, sec) != 0) return fail(KXCF_EPARAM);
        return run_edit(f, locate_root, [&](KXCF_FILE* h, KXCF_NODE*) {
            return add_container(h->root, KXCF_NODE_SECTION, sec);
        });
    });
}

extern "C" int kxcf_setsubsection(KXCF_FILE* f, const char* section, const char* subsection) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec, sub;
        if (int code = check_subsection_args(f, section, subsection, sec, sub)) return fail(code);
        auto locate = [&](KXCF_FILE* h, KXCF_NODE*& owner) {
            return locate_list(h, sec, nullptr, owner);
        };
        return run_edit(f, locate, [&](KXCF_FILE* h, KXCF_NODE* owner) {
            int rc = add_container(owner->subsections, KXCF_NODE_SUBSECTION, sub);
            if (rc == 0) find_expand_list(h);
            return rc;
        });
    });
}

extern "C" int kxcf_setvar_inst(KXCF_FILE* f, const char* section, const char* subsection,
                                const char* keyword, const char* value, int instance) {
    return guarded<int>(-1, [&]() -> int {
        KeywordArgs args;
        if (int code = args.check(f, section, subsection, keyword)) return fail(code);
        if (instance < 1 || (value && std::strlen(value) > KXCF_MAX_VALUE))
            return fail(KXCF_EPARAM);
        std::string stripped = value ? strip_value(value) : std::string();
        const char* stored = value ? stripped.c_str() : nullptr;
        if (!value_fits(stored)) return fail(KXCF_EPARAM);
        return run_edit(f, args.locator(), [&](KXCF_FILE*, KXCF_NODE* owner) {
            return set_instance(owner, args.keyword, stored, instance);
        });
    });
}

extern "C" int kxcf_setvar(KXCF_FILE* f, const char* section, const char* subsection,
                           const char* keyword, const char* value) {
    return kxcf_setvar_inst(f, section, subsection, keyword, value, 1);
}

extern "C" int kxcf_setvar_index(KXCF_FILE* f, const char* section, const char* subsection,
                                 const char* keyword, const char* value, int index) {
    return guarded<int>(-1, [&]() -> int {
        KeywordArgs args;
        if (int code = args.check(f, section, subsection, keyword)) return fail(code);
        if (!value_fits(value)) return fail(KXCF_EPARAM);
        return run_edit(f, args.locator(), [&](KXCF_FILE*, KXCF_NODE* owner) {
            KXCF_NODE* after = nullptr;
            int count = 0;
            for (KXCF_NODE* n = keyword_line_from(owner->u.lines); n && count < index;
                 n = keyword_line_from(n->next), ++count)
                after = n;
            return insert_keyword(owner, after, args.keyword, value);
        });
    });
}

extern "C" int kxcf_setvar_wait(KXCF_FILE* f, const char* section, const char* subsection,
                                const char* keyword, const char* value, int retries, int delay) {
    if (!f) return fail(KXCF_EPARAM);
    if (f->flags & KXCF_UPDATE) return kxcf_setvar(f, section, subsection, keyword, value);
    int saved_flags = f->flags, saved_retries = f->lock_retries, saved_delay = f->lock_delay;
    kxcf_set_lock_wait(retries, delay, f);
    f->flags |= KXCF_WAIT;
    int rc = kxcf_setvar(f, section, subsection, keyword, value);
    f->flags = saved_flags;
    f->lock_retries = saved_retries;
    f->lock_delay = saved_delay;
    return rc;
}

extern "C" int kxcf_delsection(KXCF_FILE* f, const char* section) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec;
        int code = f ? check_name(section, kSectionName, sec) : KXCF_EPARAM;
        if (code) return fail(code);
        auto locate = [&](KXCF_FILE* h, KXCF_NODE*& owner) {
            return locate_list(h, sec, nullptr, owner);
        };
        return run_edit(f, locate, [&](KXCF_FILE* h, KXCF_NODE* owner) {
            return remove_node(h, h->root, owner);
        });
    });
}

extern "C" int kxcf_delsubsection(KXCF_FILE* f, const char* section, const char* subsection) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec, sub;
        if (int code = check_subsection_args(f, section, subsection, sec, sub)) return fail(code);
        KXCF_NODE* parent = nullptr;
        auto locate = [&](KXCF_FILE* h, KXCF_NODE*& owner) -> int {
            for (parent = section_from(h->root, sec); parent;
                 parent = section_from(parent->next, sec))
                if ((owner = subsection_from(parent->subsections, sub))) return 0;
            return section_from(h->root, sec) ? KXCF_ENOSUBSECTION : KXCF_ENOSECTION;
        };
        return run_edit(f, locate, [&](KXCF_FILE* h, KXCF_NODE* owner) {
            return remove_node(h, parent->subsections, owner);
        });
    });
}

extern "C" int kxcf_delvar_inst(KXCF_FILE* f, const char* section, const char* subsection,
                                const char* keyword, int instance) {
    return guarded<int>(-1, [&]() -> int {
        KeywordArgs args;
        if (int code = args.check(f, section, subsection, keyword)) return fail(code);
        if (instance < 1) return fail(KXCF_EPARAM);
        return run_edit(f, args.locator(), [&](KXCF_FILE* h, KXCF_NODE* owner) -> int {
            int count = 0;
            for (KXCF_NODE* n = keyword_line_from(owner->u.lines); n;
                 n = keyword_line_from(n->next)) {
                if (name_is(n, args.keyword) && ++count == instance)
                    return remove_node(h, owner->u.lines, n);
            }
            return count == 0 ? KXCF_ENOKEYWORD : KXCF_EINSTANCE;
        });
    });
}
