// A configuration file as the lines it is made of, for edits that change
// only the lines they are about. The library's write-back normalises every
// line it writes; a file kept under version control or watched by
// configuration management must instead keep every byte nobody asked to
// change. The structure (which line is which section, subsection and
// keyword) follows the library's reading of the format exactly, and every
// edit puts its lines where the library's own edit would put them, so the
// library reads the result as the tree its own edit would have made.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kxconf.h"

namespace kxconf {

// One edit of a file, in the command line's terms.
struct Edit {
    enum Kind { kSet, kUnset, kDelete, kRename, kEnsure } kind = kSet;
    Place place;
    std::string keyword;
    std::string value;       // kSet: the value; kRename: the new name
    int instance = 0;        // 0: not given
    bool add = false;
    bool all = false;
    // The edit in the command line's words, for --verbose.
    std::string text() const;
};

class Document {
public:
    // NAME is the file's name in messages.
    Document(const std::string& name, const std::string& bytes);

    // Makes EDIT; false when it left every line as it was. Fails (kNotThere,
    // kUsage) without changing anything when the edit cannot be made.
    bool apply(const Edit& edit);

    std::string bytes() const;
    // A file without a section header cannot be read back.
    bool has_section() const { return !structure().empty(); }
    bool changed() const { return bytes() != original_bytes_; }
    // The unified diff from the file as read to the file as edited.
    std::string diff() const;

private:
    struct Text {
        std::string text;   // without its newline
        bool newline;
        long origin;        // its line number (0-based) as read, -1 for a new or changed line
    };
    struct List {
        std::string name;
        std::size_t header = 0;
        std::size_t end = 0;                 // the line after its last line
        std::vector<std::size_t> keywords;   // its keyword lines
    };
    struct Section {
        List own;
        std::vector<List> subsections;
        std::size_t end = 0;   // the next section's header
    };

    // Which line is which section, subsection and keyword; kept between
    // edits until one adds, removes or renames a line of it, so that many
    // values set in one apply read the file's structure once.
    const std::vector<Section>& structure() const;
    // The list that the library's edits of PLACE change, or null with
    // CODE 1026 or 1027.
    const List* edit_list(const std::vector<Section>& sections, const Place& place, int& code) const;
    std::vector<std::size_t> instances(const List& list, const std::string& keyword) const;

    bool set(const Edit& e);
    bool unset(const Edit& e);
    bool remove(const Edit& e);
    bool rename(const Edit& e);
    bool ensure(const Edit& e);
    // Adds the section and subsection of PLACE that are missing, as the
    // library adds them; the line after the list's header.
    std::size_t add_place(const std::vector<Section>& sections, const Place& place, int code);

    void insert(std::size_t at, const std::string& text);
    void replace(std::size_t at, const std::string& text);
    void erase(std::size_t from, std::size_t to);

    std::string name_;
    std::string original_bytes_;
    std::vector<Text> original_;
    std::vector<Text> lines_;
    mutable std::vector<Section> sections_;
    mutable bool scanned_ = false;
};

// Fails with kUsage when a name of PLACE (or KEYWORD, when given) is not a
// name the format allows, with the library's reason and the rule.
void check_names(const Place& place, const std::string& keyword = "");
// Fails with kUsage when NAME cannot name a section (or, with SUBSECTION, a
// subsection).
void check_list_name(const std::string& name, bool subsection);
// Fails with kUsage when an edit would make a section or subsection whose
// name is the upgrade rules' pattern word.
void check_new_names(const Place& place);

}  // namespace kxconf
