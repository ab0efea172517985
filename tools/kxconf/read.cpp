// The reading commands: get, list (text, JSON, shell) and sections.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "document.h"
#include "kx_errno.h"
#include "kxconf.h"

namespace kxconf {
namespace {

// Values as the suite's programs read them: the file is walked as stored,
// and each value wanted is expanded with the file's own definitions, taken
// from the handle it was read through (reading a large file a second time
// would double the time and memory of a lookup).
class Values {
public:
    Values(const Source& source, KXCF_FILE* f, bool raw) : path_(source.name()), file_(raw ? nullptr : f) {}

    std::string operator()(const Place& place, const Line& line) const {
        if (!file_) return line.value;
        // The handle reads values as stored; this one value is expanded.
        const int flags = file_->flags;
        file_->flags &= ~KXCF_NOEXPAND;
        char* expanded = kxcf_expand_path(line.value.c_str(), file_);
        file_->flags = flags;
        if (expanded == KXCF_FAIL)
            fail(kUnreadable, about(path_, place, line.keyword) + "cannot expand \"" + line.value +
                                  "\": " + error_text(kx_errno));
        std::string result = expanded;
        std::free(expanded);
        return result;
    }

private:
    std::string path_;
    KXCF_FILE* file_;
};

// The values of KEYWORD in the list at the handle's position, as stored;
// the other lines are not kept, however long the list.
std::vector<std::string> values_in_list(KXCF_FILE* f, const std::string& path, const Place& place,
                                        const std::string& keyword) {
    std::vector<std::string> values;
    const char* name = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(f, place.section.c_str(), place.sub(), &name, 0)) != KXCF_FAIL)
        if (keyword == name) values.push_back(value);
    if (kx_errno != KXCF_ENOKEYWORD) fail(kUnreadable, about(path, place) + error_text(kx_errno));
    return values;
}

void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// ---- the file as lists ------------------------------------------------------

struct List {
    Place place;
    std::vector<Line> lines;
    int section_number;   // which section of the file, counting from 0
};

// The keyword lists of the file in file order, a section's own list before
// its subsections; only those named by FILTER when it is given. Fails with
// kNotThere when FILTER names nothing.
std::vector<List> read_lists(KXCF_FILE* f, const std::string& path, const Place* filter) {
    std::vector<List> lists;
    const std::string want_section = filter ? lower(filter->section) : "";
    const std::string want_sub = filter && filter->has_subsection ? lower(filter->subsection) : "";
    bool section_seen = false;
    kxcf_rewind(f);
    const char* s;
    for (int number = 0; (s = kxcf_nextsection(f)) != KXCF_FAIL; ++number) {
        const std::string section = s;
        if (filter && section != want_section) continue;
        section_seen = true;
        Place own{section, "", false};
        if (want_sub.empty()) lists.push_back({own, read_list(f, path, own), number});
        const char* sub;
        while ((sub = kxcf_nextsubsection(f, section.c_str())) != KXCF_FAIL) {
            Place place{section, sub, true};
            if (!want_sub.empty() && place.subsection != want_sub) continue;
            lists.push_back({place, read_list(f, path, place), number});
        }
    }
    if (filter && !section_seen) fail(kNotThere, about(path, *filter) + error_text(KXCF_ENOSECTION));
    if (filter && !want_sub.empty() && lists.empty())
        fail(kNotThere, about(path, *filter) + error_text(KXCF_ENOSUBSECTION));
    return lists;
}

void expand_all(std::vector<List>& lists, const Values& values) {
    for (List& list : lists)
        for (Line& line : list.lines) line.value = values(list.place, line);
}

// ---- formats ----------------------------------------------------------------

void print_text(const std::vector<List>& lists) {
    for (const List& list : lists)
        for (const Line& line : list.lines)
            print_line(list.place.text() + " " + line.keyword + " = " + line.value);
}

nlohmann::ordered_json keywords_json(const std::vector<Line>& lines) {
    nlohmann::ordered_json keywords = nlohmann::ordered_json::object();
    for (const Line& line : lines) keywords[line.keyword].push_back(line.value);
    return keywords;
}

// {"sections": [{"name", "keywords": {name: [values]}, "subsections": [{"name",
// "keywords"}]}]}: sections and subsections in file order (names may
// repeat), keywords in the order they first appear, instances in order.
void print_json(const std::vector<List>& lists) {
    nlohmann::ordered_json sections = nlohmann::ordered_json::array();
    int current = -1;
    for (const List& list : lists) {
        // A subsection listed alone still appears inside its section.
        if (list.section_number != current) {
            current = list.section_number;
            sections.push_back({{"name", list.place.section},
                                {"keywords", nlohmann::ordered_json::object()},
                                {"subsections", nlohmann::ordered_json::array()}});
        }
        if (list.place.has_subsection)
            sections.back()["subsections"].push_back(
                {{"name", list.place.subsection}, {"keywords", keywords_json(list.lines)}});
        else
            sections.back()["keywords"] = keywords_json(list.lines);
    }
    const nlohmann::ordered_json document = {{"sections", sections}};
    // Bytes that are not UTF-8 cannot stand in a JSON string; they become
    // U+FFFD so that the output stays valid JSON.
    print_line(document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

std::string shell_quoted(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The shell variable of a keyword: the names below the listed level joined
// by "_", with "." (a name character, but not a shell one) as "_".
std::string shell_name(const Place& place, const std::string& keyword, const Place* filter) {
    std::string name;
    if (!filter) name += place.section + "_";
    if (place.has_subsection && !(filter && filter->has_subsection)) name += place.subsection + "_";
    name += keyword;
    for (char& c : name)
        if (c == '.') c = '_';
    if (std::isdigit(static_cast<unsigned char>(name[0]))) name.insert(0, "_");
    return name;
}

// name='value' lines; the instances of a repeated keyword are one value,
// a line each (a value never holds a newline).
void print_sh(const std::vector<List>& lists, const Place* filter) {
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, std::string>> vars;   // name: origin, value
    for (const List& list : lists) {
        for (const Line& line : list.lines) {
            const std::string name = shell_name(list.place, line.keyword, filter);
            const std::string origin = list.place.text() + " " + line.keyword;
            auto [it, added] = vars.try_emplace(name, origin, line.value);
            if (added) {
                order.push_back(name);
            } else if (it->second.first != origin) {
                fail(kUsage, "\"" + it->second.first + "\" and \"" + origin +
                                 "\" would both be the shell variable " + name +
                                 "; list one section at a time or use --format json");
            } else {
                it->second.second += "\n" + line.value;
            }
        }
    }
    for (const std::string& name : order) print_line(name + "=" + shell_quoted(vars[name].second));
}

}  // namespace

int run_get(const Options& o) {
    const Source source(o);
    const std::string& path = source.name();
    const Place place = parse_place(o.args[0]);
    check_names(place, o.args[1]);
    Handle f = open_for_reading(source, KXCF_NOEXPAND);
    const std::string keyword = lower(o.args[1]);
    std::vector<std::string> found;
    // As the suite's programs look a keyword up: the first list of that
    // place that holds it.
    const int code = find_list(f.get(), place, [&] {
        found = values_in_list(f.get(), path, place, keyword);
        return !found.empty();
    });
    if (code != 0) fail(kNotThere, about(path, place, keyword) + error_text(code));
    if (o.instance > static_cast<int>(found.size()))
        fail(kNotThere, about(path, place, keyword) + error_text(KXCF_EINSTANCE) + " (" +
                            std::to_string(found.size()) + " instances, not " +
                            std::to_string(o.instance) + ")");
    const Values values(source, f.get(), o.raw);
    const std::size_t first = o.instance ? static_cast<std::size_t>(o.instance - 1) : 0;
    const std::size_t end = o.all ? found.size() : first + 1;
    for (std::size_t i = first; i < end; ++i) print_line(values(place, {keyword, found[i]}));
    return kDone;
}

int run_list(const Options& o) {
    const Source source(o);
    const std::string& path = source.name();
    Place filter;
    if (!o.args.empty()) {
        filter = parse_place(o.args[0]);
        check_names(filter);
    }
    Handle f = open_for_reading(source, KXCF_NOEXPAND);
    const Place* wanted = o.args.empty() ? nullptr : &filter;
    std::vector<List> lists = read_lists(f.get(), path, wanted);
    expand_all(lists, Values(source, f.get(), o.raw));
    switch (o.format) {
    case Format::kText: print_text(lists); break;
    case Format::kJson: print_json(lists); break;
    case Format::kSh: print_sh(lists, wanted); break;
    }
    return kDone;
}

int run_sections(const Options& o) {
    const Source source(o);
    const std::string& path = source.name();
    Handle f = open_for_reading(source, KXCF_NOEXPAND);
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        for (const std::string& n : names)
            if (n == name) return;
        names.push_back(name);
    };
    if (o.args.empty()) {
        const char* s;
        while ((s = kxcf_nextsection(f.get())) != KXCF_FAIL) add(s);
    } else {
        const Place place = parse_place(o.args[0]);
        if (place.has_subsection) fail(kUsage, "sections takes a section name, not \"" + o.args[0] + "\"");
        check_names(place);
        const std::string section = lower(place.section);
        if (kxcf_findsection(f.get(), section.c_str()) != 0)
            fail(kNotThere, about(path, place) + error_text(kx_errno));
        kxcf_rewind(f.get());
        const char* s;
        while ((s = kxcf_nextsection(f.get())) != KXCF_FAIL) {
            if (section != s) continue;
            const char* sub;
            while ((sub = kxcf_nextsubsection(f.get(), section.c_str())) != KXCF_FAIL) add(sub);
        }
    }
    for (const std::string& name : names) print_line(name);
    return kDone;
}

}  // namespace kxconf
