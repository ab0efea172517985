// The editing commands: set, unset, delete, rename, and apply, which makes
// many of them at once. Every name and value is checked before the file is
// locked; every edit is then made on the file as read under the lock, and
// the result is written once, or nothing.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "document.h"
#include "kx_errno.h"
#include "kxconf.h"

namespace kxconf {
namespace {

// Only values that read back exactly as given are stored: anything else
// would silently become another value.
void check_value(const std::string& value) {
    if (value.find('\n') != std::string::npos)
        fail(kUsage, "a value cannot hold a newline: it would be read back as a line of its own");
    if (value.size() > KXCF_MAX_VALUE)
        fail(kUsage, "a value holds at most " + std::to_string(KXCF_MAX_VALUE) + " characters, not " +
                         std::to_string(value.size()));
    std::size_t kept = 0;
    if (kxcf_stored_value(value.c_str(), &kept) != value.c_str() || kept != value.size())
        fail(kUsage, "a value cannot begin or end with a blank or other white space: the file "
                     "format drops it");
}

Edit set_edit(const Place& place, const std::string& keyword, const std::string& value, int instance) {
    check_names(place, keyword);
    check_new_names(place);
    check_value(value);
    Edit e;
    e.place = place;
    e.keyword = keyword;
    e.value = value;
    e.instance = instance;
    return e;
}

// The edit of a command line (of kxconf or of an edit line of apply).
Edit edit_of(const Options& o) {
    Edit e;
    e.place = parse_place(o.args[0]);
    if (o.command == "set") {
        e = set_edit(e.place, o.args[1], o.args[2], o.instance);
        e.add = o.add;
    } else if (o.command == "unset") {
        check_names(e.place, o.args[1]);
        check_new_names(e.place);
        e.kind = Edit::kUnset;
        e.keyword = o.args[1];
        e.instance = o.instance;
        e.all = o.all;
    } else if (o.command == "delete") {
        check_names(e.place);
        check_new_names(e.place);
        e.kind = Edit::kDelete;
    } else {
        check_names(e.place);
        check_new_names(e.place);
        e.kind = Edit::kRename;
        e.value = o.args[1];
        check_list_name(e.value, e.place.has_subsection);
        check_new_names(e.place.has_subsection ? Place{"x", e.value, true} : Place{e.value, "", false});
    }
    return e;
}

// ---- apply ------------------------------------------------------------------

// The words of LINE as the shell splits them: blanks separate, '...' keeps
// everything, "..." keeps all but \" \\ \$ \`, and \ quotes the next
// character. False for an unfinished quote.
bool split_words(const std::string& line, std::vector<std::string>& words) {
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            if (end == std::string::npos) return false;
            word += line.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && std::strchr("\"\\$`", line[i + 1])) ++i;
                word += line[i];
            }
            if (i >= line.size()) return false;
        } else if (c == '\\') {
            if (++i >= line.size()) return false;
            word += line[i];
        } else {
            word += c;
        }
    }
    if (in_word) words.push_back(word);
    return true;
}

bool is_edit_command(const std::string& command) {
    return command == "set" || command == "unset" || command == "delete" || command == "rename";
}

// One edit line, in the words of kxconf's own command line.
Edit edit_line(const std::string& line) {
    std::vector<std::string> words{kProgram};
    if (!split_words(line, words)) fail(kUsage, "a quote is not closed");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    Options o;
    parse_edit_words(static_cast<int>(argv.size()), argv.data(), o);
    if (!is_edit_command(o.command)) fail(kUsage, "an edit is set, unset, delete or rename");
    if (!o.file.empty() || o.wait_seconds || o.verbose || o.dry_run || o.existing)
        fail(kUsage, "-f, --wait, --verbose, --dry-run and --existing belong to apply itself");
    return edit_of(o);
}

std::vector<Edit> text_edits(std::istream& in, const std::string& name) {
    std::vector<Edit> edits;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        try {
            edits.push_back(edit_line(line));
        } catch (const Failure& f) {
            fail(f.status, name + ":" + std::to_string(number) + ": " + f.message);
        }
    }
    return edits;
}

// The keywords of one list of list --format json: every value given is set,
// instance by instance; a list without keywords is made when missing.
void json_list(const nlohmann::ordered_json& list, const Place& place, bool empty_needs_list,
               std::vector<Edit>& edits) {
    const nlohmann::ordered_json& keywords = list.value("keywords", nlohmann::ordered_json::object());
    if (!keywords.is_object()) fail(kUsage, place.text() + ": \"keywords\" is not an object");
    if (keywords.empty() && empty_needs_list) {
        check_names(place);
        check_new_names(place);
        Edit e;
        e.kind = Edit::kEnsure;
        e.place = place;
        edits.push_back(e);
    }
    for (const auto& [keyword, values] : keywords.items()) {
        if (!values.is_array()) fail(kUsage, place.text() + " " + keyword + ": the values are not a list");
        int instance = 0;
        for (const nlohmann::ordered_json& v : values) {
            if (!v.is_string()) fail(kUsage, place.text() + " " + keyword + ": a value is not a string");
            edits.push_back(set_edit(place, keyword, v.get<std::string>(), ++instance));
        }
    }
}

std::vector<Edit> json_edits(std::istream& in, const std::string& name) {
    std::vector<Edit> edits;
    try {
        const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(in);
        for (const nlohmann::ordered_json& section : doc.at("sections")) {
            const std::string s = section.at("name").get<std::string>();
            const nlohmann::ordered_json& subsections =
                section.value("subsections", nlohmann::ordered_json::array());
            json_list(section, Place{s, "", false}, subsections.empty(), edits);
            for (const nlohmann::ordered_json& sub : subsections)
                json_list(sub, Place{s, sub.at("name").get<std::string>(), true}, true, edits);
        }
    } catch (const nlohmann::json::exception& e) {
        fail(kUsage, name + ": not the JSON that list --format json prints: " + e.what());
    } catch (const Failure& f) {
        fail(f.status, name + ": " + f.message);
    }
    return edits;
}

}  // namespace

int run_edit(const Options& o) { return edit_file(o, {edit_of(o)}); }

int run_apply(const Options& o) {
    const std::string name = o.args.empty() ? kStandardInput : o.args[0];
    std::ifstream file;
    if (name != kStandardInput) {
        file.open(name, std::ios::binary);
        if (!file) fail(kFileError, "cannot open " + name + ": " + error_text(errno));
    }
    std::istream& in = name == kStandardInput ? std::cin : file;
    const std::string shown = name == kStandardInput ? "standard input" : name;
    if (o.format == Format::kSh) fail(kUsage, "apply reads edit lines or --format json");
    return edit_file(o, o.format == Format::kJson ? json_edits(in, shown) : text_edits(in, shown));
}

}  // namespace kxconf
