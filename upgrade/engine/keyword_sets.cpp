// Keyword sets and the lookup of a previous keyword's place in the new
// file's current keyword list.

#include <cstring>
#include <string>
#include <vector>

#include "decision_notes.h"
#include "engine_internal.h"
#include "kx_errno.h"
#include "upgrade_engine.h"

namespace {

// Whether NAME is the rename target of a member rule of START's set. A
// renamed member stands in the new file under its new name, and still
// belongs to its set there: ending the set before it would add the member
// a second time.
bool renamed_member(const char* name, const UPGRADE_RULE* start) {
    const UPGRADE_RULE* rule = start->next;
    for (; rule && (rule->flags & RULE_SET) && !(rule->flags & RULE_START); rule = rule->next)
        if ((rule->flags & RULE_RENAME) && lower_case_name(rule->text) == name) return true;
    return false;
}

}  // namespace

void UpgradeEngine::build_new_kw_list(const char* section, const char* subsection) {
    upgrade_debug_line(run_, show_funcs, "build_new_kw_list:\n");
    ERROR_CONTEXT context = {section, subsection, nullptr, nullptr, 0};
    debug_context(show_detail, "build_new_kw_list: Building list of keywords\n", FileKind::new_file, &context);
    if (!new_list_.read(new_cfg_, section, subsection, context))
        upgrade_error(run_, kx_errno, kMsgNextvar, FileKind::new_file, Severity::error, &context);
}

KW_LOCATION UpgradeEngine::locate_anywhere(const ERROR_CONTEXT* context) const {
    KW_LOCATION location = {0, 0, 0};
    const std::vector<int>* lines = new_list_.lines().lines_named(context->keyword);
    for (size_t i = 0; lines && i < lines->size(); ++i) {
        int position = (*lines)[i];
        NAME_LIST* node = new_list_.lines().at_line(position);
        upgrade_debug_format(run_, show_detail, "locate_keyword_in_new: Found keyword in New config file\n  Keyword:\t%s\n"
                             "  Value:\t%s\n  Instance:\t%d\n  Prev Value:\t%s\n",
                             node->name, node->text, node->instance,
                             context->value ? context->value : "");
        location.instance = node->instance;
        location.line = position;
        if (same_value(node->text, context->value)) {
            location.value_match = 1;
            break;
        }
        upgrade_debug_line(run_, show_detail, "locate_keyword_in_new: Keyword values differ in New and Prev config files\n");
    }
    return location;
}

KW_LOCATION UpgradeEngine::locate_in_set(const ERROR_CONTEXT* context, const KW_SET* set) const {
    KW_LOCATION location = {0, 0, 0};
    const KeywordList& lines = new_list_.lines();
    const std::vector<int>* starts = set->first_keyword ? lines.lines_named(set->first_keyword) : nullptr;
    if (!starts || set->instance < 1 || static_cast<size_t>(set->instance) > starts->size() || !set->start_rule)
        return location;
    int position = (*starts)[set->instance - 1];
    NAME_LIST* node = lines.at_line(position);
    NAME_LIST* end = find_end_of_set(node, set->start_rule);
    for (;; node = node->next, ++position) {
        if (std::strcmp(node->name, context->keyword) == 0) {
            location = {node->instance, position, same_value(node->text, context->value) ? 1 : 0};
            break;
        }
        if (node == end) {
            upgrade_debug_line(run_, show_detail, "locate_keyword_in_new: Reached END of keyword set\n");
            location.line = position;
            upgrade_debug_line(run_, show_detail, "locate_keyword_in_new: Add this keyword at the end of the set\n");
            break;
        }
    }
    return location;
}

KW_LOCATION UpgradeEngine::locate_keyword_in_new(const ERROR_CONTEXT* context, const KW_SET* set) {
    debug_context(show_funcs, "locate_keyword_in_new:\n", FileKind::previous, context);
    upgrade_debug_format(run_, show_detail, "locate_keyword_in_new: %s keyword set\n", set ? "In" : "NOT in");
    if (new_list_.stale()) build_new_kw_list(context->section, context->subsection);
    KW_LOCATION location = set ? locate_in_set(context, set) : locate_anywhere(context);
    upgrade_debug_format(run_, show_detail, "locate_keyword_in_new: instance: %d, line: %d, value_match: %d\n",
                         location.instance, location.line, location.value_match);
    return location;
}

NAME_LIST* UpgradeEngine::find_end_of_set(NAME_LIST* first, UPGRADE_RULE* start_rule) const {
    upgrade_debug_line(run_, show_funcs, "find_end_of_set:\n");
    NAME_LIST* last = first;
    for (NAME_LIST* node = first->next; node; node = node->next) {
        UPGRADE_RULE* rule = match_name_in_set(node->name, start_rule, filter(nullptr, kNameOnly));
        if (rule && (rule->flags & RULE_START)) break;
        if (!rule && !renamed_member(node->name, start_rule)) break;
        last = node;
    }
    return last;
}

void UpgradeEngine::upgrade_keyword_set(NAME_LIST* first, UPGRADE_RULE* start_rule, ERROR_CONTEXT* context) {
    KW_SET set = {nullptr, 0, 0, 0, nullptr, first};
    debug_context(show_funcs, "upgrade_keyword_set:\n", FileKind::previous, context);
    upgrade_debug_line(run_, show_detail,
                       "upgrade_keyword_set: Upgrade rule flags =" + flag_words(start_rule->flags, kSetFlagWords) + "\n");
    if (start_rule->flags & RULE_DELETE) {
        upgrade_debug_line(run_, show_detail, "upgrade_keyword_set: Upgrade rule = delete. New config file is OK\n");
        note_set(run_.state.decisions, context, first, find_end_of_set(first, start_rule), start_rule, Fate::deleted);
        return;
    }

    // A renamed start keyword begins its set in the new file under the new
    // name; looked up under the old one, the set would never be found and
    // an added start line would take the place of another set's.
    ERROR_CONTEXT start = *context;
    std::string new_name;
    if (start_rule->flags & RULE_RENAME) {
        new_name = lower_case_name(start_rule->text);
        start.keyword = new_name.c_str();
    }
    KW_LOCATION location = locate_keyword_in_new(&start, nullptr);
    if (location.value_match) {
        set = {start.keyword, location.instance, location.line, 1, start_rule, first};
        upgrade_debug_line(run_, show_detail, "upgrade_keyword_set: Found start of set in New config file\n");
    } else if (start_rule->flags & RULE_FACTORY) {
        note_set(run_.state.decisions, context, first, find_end_of_set(first, start_rule), start_rule, Fate::skipped);
        upgrade_error(run_, 0, kMsgFactorySetStart, FileKind::previous, Severity::error, context);
        return;
    } else if (start_rule->flags & RULE_CUSTOM) {
        set = {start.keyword, location.instance + 1, 0, 0, start_rule, first};
        upgrade_debug_line(run_, show_detail,
                           "upgrade_keyword_set: Start of set was NOT found in New config file\n"
                           "Adding the entire set from the Previous config file\n");
    } else {
        // The start rule names no action (the rules file has been reported);
        // carrying the set over or dropping it would both be a guess, so the
        // set is left out and named.
        note_set(run_.state.decisions, context, first, find_end_of_set(first, start_rule), start_rule, Fate::skipped);
        upgrade_error(run_, 0, kMsgNoRuleSetStart, FileKind::previous, Severity::warning, context);
        return;
    }
    upgrade_debug_format(run_, show_detail, "upgrade_keyword_set: START of keyword set\n  First keyword:\t%s\n"
                         "  Instance:\t%d\n  Line:\t%d\n",
                         set.first_keyword, set.instance, set.line);

    NAME_LIST* end = find_end_of_set(first, start_rule);
    for (NAME_LIST* node = first;; node = node->next) {
        *context = {context->section, context->subsection, node->name, node->text, node->instance};
        UPGRADE_RULE* rule = match_name_in_set(node->name, start_rule, filter(node->text, kAllQualifiers));
        if (!rule) {
            KeywordRecord(run_.state.decisions, context, node, nullptr, Fate::no_rule).d.set_start = set_name(first);
            upgrade_error(run_, 0, kMsgSetMemberNoRule, FileKind::previous, Severity::error, context);
        } else {
            debug_context(show_detail,
                          "upgrade_keyword_set: Found keyword in set in Previous config file\n"
                          "  Calling upgrade_keyword from upgrade_keyword_set\n",
                          FileKind::previous, context);
            upgrade_keyword(node, rule, context, &set);
        }
        if (node == end) break;
    }
    upgrade_debug_format(run_, show_detail, "upgrade_keyword_set: END of keyword set\n  First keyword:\t%s\n"
                         "  Instance:\t%d\n",
                         set.first_keyword, set.instance);
}
