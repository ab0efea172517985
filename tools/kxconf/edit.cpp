// The editing commands: set and unset. Each is one locked change: every
// check is made on the tree read under the lock, before anything changes,
// and everything is written back at once, or nothing.
#include <cstring>
#include <string>

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

// An edit of the tree in update mode fails only when memory runs out.
void edit(int rc, const std::string& path) {
    if (rc != 0) fail(kFileError, "cannot change " + path + ": " + error_text(kx_errno));
}

std::string instances_text(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " instance" : " instances");
}

}  // namespace

int run_set(const Options& o) {
    const std::string path = target_path(o);
    const Place place = parse_place(o.args[0]);
    const std::string& keyword = o.args[1];
    const std::string& value = o.args[2];
    check_value(value);

    EditSession session(path, KXCF_NOEXPAND, o.wait_seconds);
    KXCF_FILE* f = session.file();
    check_names(f, place, keyword.c_str());
    const int where = enter_edit_list(f, place);
    const std::size_t count =
        where == 0 ? values_of(read_list(f, path, place), lower(keyword)).size() : 0;
    const std::size_t instance = o.add ? count + 1 : o.instance ? static_cast<std::size_t>(o.instance) : 1;
    if (instance > count + 1)
        fail(kUsage, about(path, place, lower(keyword)) + "there is no instance " +
                         std::to_string(instance) + " to set (" + instances_text(count) +
                         "); --add adds one");

    session.editing();
    if (where == KXCF_ENOSECTION) edit(kxcf_setsection(f, place.section.c_str()), path);
    if (where != 0 && place.has_subsection)
        edit(kxcf_setsubsection(f, place.section.c_str(), place.sub()), path);
    // An empty value is stored as none: the line holds the keyword alone.
    edit(kxcf_setvar_inst(f, place.section.c_str(), place.sub(), keyword.c_str(),
                          value.empty() ? nullptr : value.c_str(), static_cast<int>(instance)),
         path);
    session.save();
    return kDone;
}

int run_unset(const Options& o) {
    const std::string path = target_path(o);
    const Place place = parse_place(o.args[0]);
    const std::string& keyword = o.args[1];

    EditSession session(path, KXCF_NOEXPAND, o.wait_seconds);
    KXCF_FILE* f = session.file();
    check_names(f, place, keyword.c_str());
    const std::string name = lower(keyword);
    if (const int where = enter_edit_list(f, place))
        fail(kNotThere, about(path, place, name) + error_text(where));
    const std::size_t count = values_of(read_list(f, path, place), name).size();
    if (count == 0) fail(kNotThere, about(path, place, name) + error_text(KXCF_ENOKEYWORD));
    if (static_cast<std::size_t>(o.instance) > count)
        fail(kNotThere, about(path, place, name) + error_text(KXCF_EINSTANCE) + " (" +
                            instances_text(count) + ", not " + std::to_string(o.instance) + ")");

    session.editing();
    const std::size_t removals = o.all ? count : 1;
    const int instance = o.instance ? o.instance : 1;
    for (std::size_t i = 0; i < removals; ++i)
        edit(kxcf_delvar_inst(f, place.section.c_str(), place.sub(), keyword.c_str(), instance), path);
    session.save();
    return kDone;
}

}  // namespace kxconf
