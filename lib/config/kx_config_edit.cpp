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

std::string strip_value(const char* value) {
    std::size_t length = 0;
    const char* start = kxcf_stored_value(value, &length);
    return std::string(start, length);
}

// The list an edit works on: the own list of the first section of that name,
// or the first subsection of that name in the sections of that name (whose
// section goes to PARENT when asked for).
int locate_list(KXCF_FILE* f, const std::string& section, const std::string* subsection,
                KXCF_NODE*& owner, KXCF_NODE** parent = nullptr) {
    const NodeRun* sections = sections_named(f, section);
    if (!sections) return KXCF_ENOSECTION;
    if (!subsection) {
        owner = (*sections)[0];
        return 0;
    }
    for (std::size_t i = 0; i < sections->size(); ++i) {
        if (const NodeRun* lists = subsections_named(f, (*sections)[i], *subsection)) {
            owner = (*lists)[0];
            if (parent) *parent = (*sections)[i];
            return 0;
        }
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

// A new keyword line after AFTER (null: first) in OWNER's list, or null
// when memory runs out.
KXCF_NODE* insert_keyword(KXCF_NODE* owner, KXCF_NODE* after, const std::string& keyword,
                          const char* value) {
    KXCF_NODE* line = make_keyword_line(keyword.c_str(), value);
    if (line) link_after(owner->u.lines, after, line);
    return line;
}

// A new, empty section or subsection after AFTER in the list whose head is
// HEAD, or null when memory runs out.
KXCF_NODE* add_container(KXCF_NODE*& head, KXCF_NODE* after, int kind, const std::string& name) {
    KXCF_NODE* node = make_node(kind, name.c_str(), "");
    if (node) link_after(head, after, node);
    return node;
}

// Takes NODE out of the list whose head is HEAD and frees it; nothing of
// the handle is left pointing into it.
void unlink_and_free(KXCF_FILE* f, KXCF_NODE*& head, KXCF_NODE* node) {
    forget_node(f, node);
    unlink_node(head, node);
    free_list(node, tree_arena_if_any(f));
}

// A removed section or subsection takes its subsections and lists with it;
// the tables are rebuilt rather than picked apart.
int remove_container(KXCF_FILE* f, KXCF_NODE*& head, KXCF_NODE* node) {
    index_drop(f);
    unlink_and_free(f, head, node);
    find_expand_list(f);
    return 0;
}

int remove_keyword(KXCF_FILE* f, KXCF_NODE* owner, KXCF_NODE* line) {
    index_removing_keyword(f, owner, line);
    unlink_and_free(f, owner->u.lines, line);
    return 0;
}

int locate_root(KXCF_FILE*, KXCF_NODE*& owner) {
    owner = nullptr;
    return 0;
}

}  // namespace

int set_instance(KXCF_FILE* f, KXCF_NODE* owner, const std::string& keyword, const char* value,
                 int instance) {
    const NodeRun* lines = keywords_named(f, owner, keyword);
    if (lines && lines->size() >= static_cast<std::size_t>(instance)) {
        KXCF_NODE* n = (*lines)[static_cast<std::size_t>(instance) - 1];
        char* copy = nullptr;
        if (value && !(copy = strdup(value))) return ENOMEM;
        const Arena* arena = tree_arena_if_any(f);
        if (!(arena && arena->owns(n->u.value))) std::free(n->u.value);
        n->u.value = copy;
        return 0;
    }
    KXCF_NODE* line = insert_keyword(owner, last_keyword_line(f, owner), keyword, value);
    if (!line) return ENOMEM;
    index_appended_keyword(f, owner, line);
    return 0;
}

}  // namespace kxcf

using namespace kxcf;

extern "C" int kxcf_setsection(KXCF_FILE* f, const char* section) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec;
        if (!f || check_name(section, kSectionName, sec) != 0) return fail(KXCF_EPARAM);
        return run_edit(f, locate_root, [&](KXCF_FILE* h, KXCF_NODE*) {
            KXCF_NODE* node = add_container(h->root, last_top_node(h), KXCF_NODE_SECTION, sec);
            if (!node) return ENOMEM;
            index_appended_section(h, node);
            return 0;
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
            KXCF_NODE* node = add_container(owner->subsections, last_subsection(h, owner),
                                            KXCF_NODE_SUBSECTION, sub);
            if (!node) return ENOMEM;
            index_appended_subsection(h, owner, node);
            find_expand_list(h);
            return 0;
        });
    });
}

// White space removed from both ends of a stored value; the engine and
// kxconf ask here rather than keep a copy of the rule.
extern "C" const char* kxcf_stored_value(const char* value, size_t* length) {
    auto is_edge_space = [](char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c); };
    const char* end = value + std::strlen(value);
    while (value < end && is_edge_space(*value)) ++value;
    while (end > value && is_edge_space(end[-1])) --end;
    *length = static_cast<std::size_t>(end - value);
    return value;
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
        return run_edit(f, args.locator(), [&](KXCF_FILE* h, KXCF_NODE* owner) {
            return set_instance(h, owner, args.keyword, stored, instance);
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
        return run_edit(f, args.locator(), [&](KXCF_FILE* h, KXCF_NODE* owner) {
            KXCF_NODE* after = nullptr;
            int count = 0;
            for (KXCF_NODE* n = keyword_line_from(owner->u.lines); n && count < index;
                 n = keyword_line_from(n->next), ++count)
                after = n;
            if (!insert_keyword(owner, after, args.keyword, value)) return ENOMEM;
            index_forget_list(h, owner);  // the line may sit before others of its name
            return 0;
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
            return remove_container(h, h->root, owner);
        });
    });
}

extern "C" int kxcf_delsubsection(KXCF_FILE* f, const char* section, const char* subsection) {
    return guarded<int>(-1, [&]() -> int {
        std::string sec, sub;
        if (int code = check_subsection_args(f, section, subsection, sec, sub)) return fail(code);
        KXCF_NODE* parent = nullptr;
        auto locate = [&](KXCF_FILE* h, KXCF_NODE*& owner) {
            return locate_list(h, sec, &sub, owner, &parent);
        };
        return run_edit(f, locate, [&](KXCF_FILE* h, KXCF_NODE* owner) {
            return remove_container(h, parent->subsections, owner);
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
            const NodeRun* lines = keywords_named(h, owner, args.keyword);
            if (!lines) return KXCF_ENOKEYWORD;
            if (lines->size() < static_cast<std::size_t>(instance)) return KXCF_EINSTANCE;
            return remove_keyword(h, owner, (*lines)[static_cast<std::size_t>(instance) - 1]);
        });
    });
}
