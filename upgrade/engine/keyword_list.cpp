// The engine's keyword lists and its view of the new file's current list.
#include "keyword_list.h"

#include <cstdlib>
#include <string>

#include "kx_errno.h"

void KeywordList::clear() {
    free_name_list(head_);
    head_ = nullptr;
    lines_.clear();
    by_name_.clear();
}

NAME_LIST* KeywordList::append(const char* name, const char* value) {
    NAME_LIST* node = append_name_list(upgrade_strdup(name), lines_.empty() ? &head_ : &lines_.back()->next);
    node->text = upgrade_strdup(value);
    lines_.push_back(node);
    std::vector<int>& same_name = by_name_[node->name];
    same_name.push_back(static_cast<int>(lines_.size()));
    node->instance = static_cast<int>(same_name.size());
    return node;
}

bool KeywordList::read(KXCF_FILE* file, const char* section, const char* subsection, ERROR_CONTEXT& context) {
    clear();
    kxcf_rewind(file);
    const char* name = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(file, section, subsection, &name, 0)) != KXCF_FAIL)
        context.keyword = append(name, value)->name;
    return kx_errno == KXCF_ENOKEYWORD;
}

NAME_LIST* KeywordList::at_line(int line) const {
    return line > 0 && static_cast<size_t>(line) <= lines_.size() ? lines_[line - 1] : nullptr;
}

const std::vector<int>* KeywordList::lines_named(const char* name) const {
    auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : &found->second;
}

bool NewKeywordList::read(KXCF_FILE* file, const char* section, const char* subsection, ERROR_CONTEXT& context) {
    stale_ = false;
    return list_.read(file, section, subsection, context);
}

// The library either replaces the value of an existing instance, which
// moves no line, or adds one line after the last keyword line of the list;
// the list is corrected the same way instead of being re-read, since a
// section whose every keyword is written would otherwise be re-read once
// per keyword. A file whose values are expanded when read lists other
// values than those written, and is re-read.
void NewKeywordList::note_setvar_inst(const KXCF_FILE* file, const char* keyword, int instance,
                                      const char* value) {
    if (stale_ || !(file->flags & KXCF_NOEXPAND)) {
        stale_ = true;
        return;
    }
    std::size_t length = 0;
    const char* kept = value ? kxcf_stored_value(value, &length) : "";
    const std::string stored(kept, length);
    const std::vector<int>* lines = list_.lines_named(keyword);
    if (!lines || static_cast<size_t>(instance) > lines->size()) {
        list_.append(keyword, stored.c_str());
        return;
    }
    NAME_LIST* node = list_.at_line((*lines)[instance - 1]);
    std::free(node->text);
    node->text = upgrade_strdup(stored.c_str());
}
