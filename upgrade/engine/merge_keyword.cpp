// The upgrade of one keyword of the previous file into the new file: its
// rule's decision, units, renames and transferred event codes.

#include <cctype>
#include <cstring>
#include <string>

#include "decision_notes.h"
#include "engine_internal.h"
#include "kx_errno.h"
#include "upgrade_engine.h"

namespace {

// Whether NODE's name is held by an earlier node of the list that starts
// at FIRST (and reaches NODE).
bool named_earlier(const NAME_LIST* node, const NAME_LIST* first) {
    for (; first && first != node; first = first->next)
        if (std::strcmp(first->name, node->name) == 0) return true;
    return false;
}

// The warning due when writing PREV_KEYWORD over an existing line replaces
// the value that an earlier line of the previous file has left there, or
// null. Outside a set the write goes to the last instance unless the rule
// is multiple; inside a set, to the first line of the name.
const char* overwrite_warning(const NAME_LIST* prev_keyword, const UPGRADE_RULE* rule, const KW_SET* set) {
    if (set) return named_earlier(prev_keyword, set->prev_first) ? kMsgRepeatedSetMember : nullptr;
    return !(rule->flags & RULE_MULTIPLE) && prev_keyword->instance > 1 ? kMsgRepeatedKeyword : nullptr;
}

void debug_keyword_rule(const UPGRADE_RUN& run, const UPGRADE_RULE* rule) {
    if (!debugging(show_detail)) return;
    std::string line = "upgrade_keyword: Upgrade rule flags =" +
                       flag_words(rule->flags, static_cast<int>(std::size(kFlagWords))) + "\n";
    if (rule->units) line += std::string("                 Upgrade units = ") + rule->units + "\n";
    upgrade_debug(run, line.c_str());
}

}  // namespace

// The line right after LINE when it is an "event_code" line, else null.
NAME_LIST* UpgradeEngine::event_code_after(int line) const {
    NAME_LIST* node = new_list_.lines().at_line(line + 1);
    return node && std::strcmp(node->name, kEventCodeKeyword) == 0 ? node : nullptr;
}

Action UpgradeEngine::write_keyword(ERROR_CONTEXT* work, const KW_LOCATION& location) {
    if (work->instance != 0) {
        const std::vector<int>* lines = new_list_.lines().lines_named(work->keyword);
        const Action action =
            lines && static_cast<size_t>(work->instance) <= lines->size() ? Action::replaced : Action::added;
        upgrade_log_context(run_, kMsgWriteKeyword, FileKind::new_file, work);
        if (kxcf_setvar_inst(new_cfg_, work->section, work->subsection, work->keyword, work->value,
                             work->instance) != 0) {
            new_list_.mark_stale();
            upgrade_error(run_, kx_errno, kMsgSetvarInstFailed, FileKind::new_file, Severity::error, work);
            return Action::failed;
        }
        new_list_.note_setvar_inst(new_cfg_, work->keyword, work->instance, work->value);
        return action;
    }
    upgrade_log_context(run_, upgrade_format(kMsgInsertKeyword, location.line).c_str(), FileKind::new_file, work);
    new_list_.mark_stale();
    if (kxcf_setvar_index(new_cfg_, work->section, work->subsection, work->keyword, work->value,
                          location.line) == 0)
        return Action::inserted;
    report(kx_errno, upgrade_format(kMsgSetvarIndexFailed, location.line), FileKind::new_file, Severity::error,
           work);
    return Action::failed;
}

// The location of a keyword written outside a set: the same value anywhere
// means nothing to do; custom adds an instance where the rule asks for one.
KW_LOCATION UpgradeEngine::locate_outside_set(const ERROR_CONTEXT* work, const UPGRADE_RULE* rule) {
    upgrade_debug_line(run_, show_detail, "upgrade_keyword: Keyword is NOT in a set\n");
    KW_LOCATION location = locate_keyword_in_new(work, nullptr);
    if (location.value_match) return location;
    if ((rule->flags & RULE_CUSTOM) && ((rule->flags & RULE_MULTIPLE) || location.instance == 0)) {
        upgrade_debug_line(run_, show_detail, "upgrade_keyword: Need to add an instance of this keyword\n");
        location.instance++;
    }
    return location;
}

void UpgradeEngine::upgrade_keyword(NAME_LIST* prev_keyword, UPGRADE_RULE* rule, ERROR_CONTEXT* context,
                                    KW_SET* set) {
    ERROR_CONTEXT work = *context;
    debug_context(show_funcs, "upgrade_keyword:\n", FileKind::previous, context);
    debug_keyword_rule(run_, rule);
    context->value = prev_keyword->text;
    KeywordRecord record(run_.state.decisions, context, prev_keyword, rule, Fate::custom);
    if (set && record.wanted()) record.d.set_start = set_name(set->prev_first);

    if (rule->flags & RULE_FACTORY) {
        record.d.fate = Fate::factory;
        upgrade_log_context(run_, kMsgFactoryKeyword, FileKind::previous, context);
        return;
    }
    if (rule->flags & RULE_DELETE) {
        record.d.fate = Fate::deleted;
        upgrade_log_context(run_, kMsgDeleteKeyword, FileKind::previous, context);
        return;
    }
    std::string new_name;
    if (rule->flags & RULE_RENAME) {
        new_name = lower_case_name(rule->text);
        work.keyword = new_name.c_str();
        record.d.renamed_to = new_name;
        upgrade_log_context(run_, upgrade_format(kMsgRenameKeyword, prev_keyword->name, work.keyword).c_str(),
                            FileKind::previous, context);
    }
    const char* event_code = nullptr;
    if (rule->flags & RULE_XFER_EVENT) event_code = extract_xfer_event_code(run_, prev_keyword->text);
    work.value = prev_keyword->text;

    KW_LOCATION location;
    if (!set) {
        location = locate_outside_set(&work, rule);
        if (location.value_match) {
            work.instance = location.instance;
            record.wrote(&work, Action::unchanged);
            upgrade_debug_line(run_, show_detail,
                               "upgrade_keyword: Keyword with this value already exists in New config file\n"
                               "  No upgrade is needed\n");
            return;
        }
    } else if (rule->flags & RULE_START) {
        location = {set->instance, set->line, set->value_match};
    } else {
        location = locate_keyword_in_new(&work, set);
    }
    work.instance = location.instance;
    if (location.instance == 0 && location.line == 0) {
        upgrade_debug_line(run_, show_detail, "upgrade_keyword: Unable to locate keyword in New config file\n");
        record.d.fate = Fate::unplaced;
        return;
    }

    // Kept until the event code has been placed: its lookup finds the
    // keyword by the value just written.
    std::string units_value;
    if (rule->units) units_value = upgrade_units(prev_keyword->text, rule->units, &work);
    if (!units_value.empty()) {
        work.value = units_value.c_str();
        location.value_match = 0;
        record.d.units_value = units_value;
    }

    if (location.value_match) {
        debug_context(show_detail,
                      "upgrade_keyword: Keyword has the same value in New and Prev config files\n"
                      "No update is required\n",
                      FileKind::new_file, &work);
        record.wrote(&work, Action::unchanged);
    } else {
        const char* warning = work.instance ? overwrite_warning(prev_keyword, rule, set) : nullptr;
        if (warning) {
            ERROR_CONTEXT repeated = *context;
            repeated.instance = prev_keyword->instance;
            upgrade_error(run_, 0, warning, FileKind::previous, Severity::warning, &repeated);
        }
        if (prev_keyword->text[0] == '\0') work.value = nullptr;
        // Noted as failed until written: a failed write may end the run.
        record.wrote(&work, Action::failed);
        const Action action = write_keyword(&work, location);
        record.wrote(&work, action);
        record.d.written_position = action == Action::inserted ? location.line + 1 : 0;
        record.d.multiple = (rule->flags & RULE_MULTIPLE) != 0;
    }
    if (event_code) {
        record.d.event_code = event_code;
        add_xfer_event_code(event_code, &work);
    }
}

std::string UpgradeEngine::upgrade_units(const char* value, const char* units, ERROR_CONTEXT* context) {
    debug_context(show_funcs, "upgrade_units:\n", FileKind::previous, context);
    if (!std::isdigit(static_cast<unsigned char>(value[0]))) {
        report(0, upgrade_format(kMsgNoDigit, units), FileKind::previous, Severity::warning, context);
        return {};
    }
    const char* rest = value;
    while (std::isdigit(static_cast<unsigned char>(*rest))) ++rest;
    while (*rest == ' ' || *rest == '\t') ++rest;
    if (*rest) {
        if (std::isalpha(static_cast<unsigned char>(*rest))) {
            upgrade_debug_line(run_, show_detail, "upgrade_units: Keyword value already has units\n");
        } else {
            report(0, upgrade_format(kMsgBadUnits, units), FileKind::previous, Severity::warning, context);
        }
        return {};
    }
    upgrade_debug_format(run_, show_detail, "upgrade_units: Appending units \"%s\" to keyword value\n", units);
    return std::string(value) + " " + units;
}

char* extract_xfer_event_code(const UPGRADE_RUN& run, char* value) {
    char* bang = std::strchr(value, '!');
    if (!bang) {
        upgrade_debug_line(run, show_detail, "extract_xfer_event_code: Failed to extract event code from keyword arg\n");
        return nullptr;
    }
    char* code = bang + 1;
    while (*code == ' ' || *code == '\t') ++code;
    char* end = bang;
    while (end > value && (end[-1] == ' ' || end[-1] == '\t')) --end;
    *end = '\0';
    upgrade_debug_format(run, show_detail, "extract_xfer_event_code: Extracted event code \"%s\" from keyword arg\n", code);
    return code;
}

void UpgradeEngine::add_xfer_event_code(const char* event_code, ERROR_CONTEXT* context) {
    KW_LOCATION location = locate_keyword_in_new(context, nullptr);
    ERROR_CONTEXT report_context = {context->section, context->subsection, kEventCodeKeyword, event_code, 0};
    // Without the keyword line there is nothing to attach the code to; the
    // failed write has been reported already.
    if (location.instance == 0) return;
    upgrade_log_context(run_, upgrade_format(kMsgWriteEventCode, kEventCodeKeyword, location.line).c_str(),
                        FileKind::new_file, &report_context);
    // A keyword whose value was replaced may already carry the new release's
    // code on the next line: that line now gets the previous code, rather
    // than leaving two codes under one keyword. A keyword inserted into a
    // set (instance 0) has no code yet; the line after it is another's.
    NAME_LIST* existing = context->instance ? event_code_after(location.line) : nullptr;
    if (existing) {
        if (kxcf_setvar_inst(new_cfg_, context->section, context->subsection, kEventCodeKeyword, event_code,
                             existing->instance) != 0)
            upgrade_error(run_, kx_errno, kMsgSetvarInstFailed, FileKind::new_file, Severity::error,
                          &report_context);
        new_list_.mark_stale();
        return;
    }
    if (kxcf_setvar_index(new_cfg_, context->section, context->subsection, kEventCodeKeyword, event_code,
                          location.line) != 0)
        report(kx_errno, upgrade_format(kMsgSetvarIndexFailed, location.line), FileKind::new_file, Severity::error,
               &report_context);
    new_list_.mark_stale();
}
