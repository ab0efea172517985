/*
 * A keyword list of one section or subsection, as the engine reads it from
 * a configuration file: the lines in order, each with its value and its
 * occurrence number among the lines of its name, found by position and by
 * name. A section may hold thousands of keywords, each looked up in the new
 * file's list; walking the list for every lookup would make the upgrade
 * quadratic.
 */
#ifndef KEYWORD_LIST_H
#define KEYWORD_LIST_H

#include <string_view>
#include <unordered_map>
#include <vector>

#include "kxcf.h"
#include "name_lists.h"
#include "upgrade_report.h"

class KeywordList {
public:
    KeywordList() = default;
    ~KeywordList() { free_name_list(head_); }
    KeywordList(const KeywordList&) = delete;
    KeywordList& operator=(const KeywordList&) = delete;

    /* Replaces the list with the keyword lines of SECTION (and SUBSECTION)
     * of FILE. False when the listing ended otherwise than normally (the
     * reason in kx_errno); CONTEXT.keyword names the last line read. */
    bool read(KXCF_FILE* file, const char* section, const char* subsection, ERROR_CONTEXT& context);
    NAME_LIST* append(const char* name, const char* value);
    NAME_LIST* head() const { return head_; }
    /* The line number LINE (from 1), or null. */
    NAME_LIST* at_line(int line) const;
    /* The line numbers of NAME, in order; null when it has none. */
    const std::vector<int>* lines_named(const char* name) const;

private:
    void clear();

    NAME_LIST* head_ = nullptr;
    std::vector<NAME_LIST*> lines_;  // line n is lines_[n - 1]
    // Line of instance i is [i - 1]; the keys are the nodes' own names.
    std::unordered_map<std::string_view, std::vector<int>> by_name_;
};

/* The engine's view of the new file's keyword list being upgraded: re-read
 * before a lookup when an edit has made it stale, and patched in place
 * after an edit whose effect on the list is known. */
class NewKeywordList {
public:
    const KeywordList& lines() const { return list_; }
    bool stale() const { return stale_; }
    void mark_stale() { stale_ = true; }
    bool read(KXCF_FILE* file, const char* section, const char* subsection, ERROR_CONTEXT& context);
    /* After kxcf_setvar_inst of KEYWORD's INSTANCE with VALUE into FILE. */
    void note_setvar_inst(const KXCF_FILE* file, const char* keyword, int instance, const char* value);

private:
    KeywordList list_;
    bool stale_ = true;
};

#endif
