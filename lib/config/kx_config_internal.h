// Shared inside the configuration file library: name checks, the tree's
// node helpers, the parser and writer, the edit frame and the value
// delivery used by the walking operations.
#pragma once

#include "kx_errno.h"
#include "kx_text.h"
#include "kxcf.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace kxcf {

// Kinds of the line reader's records.
enum LineKind {
    LINE_TEXT = 1,
    LINE_SECTION = 2,
    LINE_SUBSECTION = 3,
    LINE_KEYWORD = 4,
    LINE_END = 5,
    LINE_FAULT = 9
};

// The value buffer holds the largest value and its terminating zero byte.
constexpr std::size_t kValueBufferSize = KXCF_MAX_VALUE + 1;

// ---- names ---------------------------------------------------------------

// The error codes that one kind of name reports.
struct NameRule {
    std::size_t max;
    int size_code;
    int char_code;
};
extern const NameRule kSectionName;
extern const NameRule kSubsectionName;
extern const NameRule kKeywordName;

// Checks NAME against RULE and leaves its lower-case form in LOWER.
// Returns 0 or the rule's error code (a null name is 1001).
int check_name(const char* name, const NameRule& rule, std::string& lower);
using kx_internal::to_lower_ascii;
void to_upper_ascii(std::string& s);

// ---- tree ----------------------------------------------------------------

// Memory for the nodes and strings the reader builds, taken in large blocks
// and given back all at once: a node per line would otherwise cost a
// malloc per node and string, and the allocator's overhead on each.
// Nodes and strings added by edits come from malloc as before; owns()
// tells the two apart when a node or string is freed.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();
    // The size of the blocks taken from now on.
    void reserve(std::size_t bytes);
    // Room for one node, or for BYTES of string text (packed, unaligned);
    // null when memory runs out. Nodes and text fill blocks of their own,
    // so that no node needs padding.
    KXCF_NODE* allocate_node();
    char* allocate_text(std::size_t bytes);
    bool owns(const void* p) const;

private:
    struct Block {
        char* start;
        std::size_t size;
    };
    struct Lane {
        char* next = nullptr;
        std::size_t left = 0;
    };
    void* take(Lane& lane, std::size_t bytes);

    std::vector<Block> blocks_;
    mutable std::size_t last_owner_ = 0;  // the block owns() found last
    Lane nodes_;
    Lane text_;
    std::size_t block_size_ = 64 * 1024;
};

// Allocates a node; strings are copied. Null (and ENOMEM in kx_errno) when
// memory runs out, with nothing leaked.
KXCF_NODE* make_node(int kind, const char* name, const char* text);
// A keyword line; VALUE null means none. An edit may store an empty value,
// written as "name = " and read back as no value.
KXCF_NODE* make_keyword_line(const char* name, const char* value);
// Frees a whole list with everything its nodes own; what ARENA (may be
// null) holds is left to it.
void free_list(KXCF_NODE* first, const Arena* arena = nullptr);
// Links NODE after AFTER in the list whose head is HEAD (AFTER null: first).
void link_after(KXCF_NODE*& head, KXCF_NODE* after, KXCF_NODE* node);
void unlink_node(KXCF_NODE*& head, KXCF_NODE* node);
bool name_is(const KXCF_NODE* n, const std::string& name);

// The first keyword line from START on, or null.
KXCF_NODE* keyword_line_from(KXCF_NODE* start);

// ---- lookup by name -----------------------------------------------------------

// The nodes of one name in one list, in list order.
class NodeRun {
public:
    std::size_t size() const;
    KXCF_NODE* operator[](std::size_t i) const;
    KXCF_NODE* back() const;
    void push_back(KXCF_NODE* node);
    void erase(std::size_t i);
    void clear();

private:
    KXCF_NODE* first_ = nullptr;  // most names occur once: no vector for them
    std::vector<KXCF_NODE*> rest_;
};

// The sections, the subsections of SECTION and the keyword lines of OWNER's
// list that carry NAME (lower case); null when there are none. A run stays
// valid until the next edit or the next lookup of the same kind.
const NodeRun* sections_named(KXCF_FILE* f, const std::string& name);
KXCF_NODE* first_section(KXCF_FILE* f, const std::string& name);
const NodeRun* subsections_named(KXCF_FILE* f, const KXCF_NODE* section, const std::string& name);
const NodeRun* keywords_named(KXCF_FILE* f, const KXCF_NODE* owner, const std::string& name);
// Where appended nodes go: the last node of the top list and of SECTION's
// subsections, and the last keyword line of OWNER's list (null: none).
KXCF_NODE* last_top_node(KXCF_FILE* f);
KXCF_NODE* last_subsection(KXCF_FILE* f, const KXCF_NODE* section);
KXCF_NODE* last_keyword_line(KXCF_FILE* f, const KXCF_NODE* owner);

// Every edit tells the tables what it changed: a node appended at the end
// of its list, a keyword line about to be removed, a list reordered
// (forgotten, rebuilt when next searched); index_drop forgets everything.
void index_appended_section(KXCF_FILE* f, KXCF_NODE* node);
void index_appended_subsection(KXCF_FILE* f, const KXCF_NODE* section, KXCF_NODE* node);
void index_appended_keyword(KXCF_FILE* f, const KXCF_NODE* owner, KXCF_NODE* line);
void index_removing_keyword(KXCF_FILE* f, const KXCF_NODE* owner, const KXCF_NODE* line);
void index_forget_list(KXCF_FILE* f, const KXCF_NODE* owner);
void index_drop(KXCF_FILE* f);

// The arena of F's tree (made when missing), the arena if there is one,
// and the end of both arena and tables (after the tree is freed).
Arena& tree_arena(KXCF_FILE* f);
const Arena* tree_arena_if_any(const KXCF_FILE* f);
void drop_store(KXCF_FILE* f);
// The reader notes a tree it has built, every edit is noted before it
// changes the tree: in between, the whole tree lies in the arena, and
// freeing the arena frees it.
void note_parsed(KXCF_FILE* f);
void note_edit(KXCF_FILE* f);
bool tree_in_arena(const KXCF_FILE* f);

// ---- parse and write ---------------------------------------------------------

// Builds the tree of F from the file open on FD. 0, or -1 with the reason
// in kx_errno and kxcf_lineno on the offending line.
int parse_file(KXCF_FILE* f, int fd);
// Writes the list starting at FIRST in the written form; 0, or -1 when the
// stream reports an error.
int write_tree(const KXCF_NODE* first, FILE* out);

// ---- handle ----------------------------------------------------------------

void clear_position(KXCF_FILE* f);
// Forgets every position field that points at NODE or into it.
void forget_node(KXCF_FILE* f, const KXCF_NODE* node);
void drop_tree(KXCF_FILE* f);
// Looks up the "path_expand" subsection of "system" again.
void find_expand_list(KXCF_FILE* f);

// ---- edit frame ------------------------------------------------------------

int edit_begin(KXCF_FILE* f);
int edit_commit(KXCF_FILE* f);
void edit_abandon(KXCF_FILE* f, int reason);
// Ends an edit that found nothing to change: the tree is untouched.
void edit_release(KXCF_FILE* f);

// Runs one edit: LOCATE(f, owner) returns 0 or a not-found code and sets the
// node whose line list is edited; CHANGE(f, owner) returns 0, a not-found
// code (the tree unchanged) or a system error number (the edit is abandoned).
template <class Locate, class Change>
int run_edit(KXCF_FILE* f, Locate locate, Change change) {
    if (edit_begin(f) != 0) return -1;
    try {
        KXCF_NODE* owner = nullptr;
        int code = locate(f, owner);
        if (code == 0) code = change(f, owner);
        if (code == 0) return edit_commit(f);
        if (code >= 1000) {
            edit_release(f);
            kx_errno = code;
        } else {
            edit_abandon(f, code);
        }
    } catch (const std::bad_alloc&) {
        index_drop(f);  // the tables may have missed a change of the tree
        edit_abandon(f, ENOMEM);
    }
    return -1;
}

// Sets instance INSTANCE of KEYWORD in OWNER's list, or adds one line after
// the list's last keyword line. VALUE may be null. 0 or ENOMEM.
int set_instance(KXCF_FILE* f, KXCF_NODE* owner, const std::string& keyword, const char* value,
                 int instance);

// Runs the body of a public operation; memory exhaustion inside it becomes
// its failure value with ENOMEM in kx_errno.
template <class R, class Body>
R guarded(R failure, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        kx_errno = ENOMEM;
        return failure;
    }
}

// ---- values ----------------------------------------------------------------

// VALUE as F hands it out, expanded unless F has KXCF_NOEXPAND, into OUT
// (a null VALUE gives the empty string); 0 or 1024.
int expand_value(const KXCF_FILE* f, const char* value, std::string& out);

}  // namespace kxcf
