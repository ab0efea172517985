// Lookup tables of a file's tree: sections by name, each section's
// subsections by name and each list's keyword lines by name, so that a
// lookup costs the same whatever the length of the list. A table is built
// the first time its list is searched and kept correct by every edit; an
// edit that reorders or removes containers simply drops the tables, which
// are rebuilt on the next search.
#include "kx_config_internal.h"

#include <sys/mman.h>

#include <cstdlib>
#include <memory>
#include <unordered_map>

namespace kxcf {

std::size_t NodeRun::size() const {
    return first_ ? 1 + rest_.size() : 0;
}

KXCF_NODE* NodeRun::operator[](std::size_t i) const {
    return i == 0 ? first_ : rest_[i - 1];
}

KXCF_NODE* NodeRun::back() const {
    return rest_.empty() ? first_ : rest_.back();
}

void NodeRun::push_back(KXCF_NODE* node) {
    if (!first_)
        first_ = node;
    else
        rest_.push_back(node);
}

void NodeRun::erase(std::size_t i) {
    if (i > 0) {
        rest_.erase(rest_.begin() + static_cast<std::ptrdiff_t>(i - 1));
        return;
    }
    first_ = rest_.empty() ? nullptr : rest_.front();
    if (!rest_.empty()) rest_.erase(rest_.begin());
}

namespace {

// Keys point into the names of the nodes they index, which never change;
// the key of a run is the name of its first node.
using NameMap = std::unordered_map<std::string_view, NodeRun>;

struct Containers {
    NameMap by_name;
    KXCF_NODE* last = nullptr;  // last node of the list
};

struct KeywordLines {
    NameMap by_name;
    KXCF_NODE* last = nullptr;  // last keyword line of the list
};

struct TreeIndex {
    bool has_sections = false;
    Containers sections;  // the top list: the leading block and the sections
    std::unordered_map<const KXCF_NODE*, Containers> subsections;  // by section
    std::unordered_map<const KXCF_NODE*, KeywordLines> lists;      // by list owner
};

// What a handle keeps beside its tree: the block memory the reader built
// it in, and the tables.
struct TreeStore {
    Arena arena;
    std::unique_ptr<TreeIndex> index;
};

TreeStore& store_of(KXCF_FILE* f) {
    if (!f->store) f->store = new TreeStore;
    return *static_cast<TreeStore*>(f->store);
}

bool is_keyword_line(const KXCF_NODE* n) {
    return n->kind == KXCF_NODE_LINE && !n->text;
}

TreeIndex& index_of(KXCF_FILE* f) {
    TreeStore& store = store_of(f);
    if (!store.index) store.index = std::make_unique<TreeIndex>();
    return *store.index;
}

const NodeRun* run_named(const NameMap& map, const std::string& name) {
    auto it = map.find(name);
    return it == map.end() ? nullptr : &it->second;
}

void add_to(NameMap& map, KXCF_NODE* node) {
    map[node->name].push_back(node);
}

// Takes NODE out of its run; a run keyed by NODE's own name gets the name
// of its new first node, since NODE is about to be freed.
void remove_from(NameMap& map, const KXCF_NODE* node) {
    auto it = map.find(node->name);
    if (it == map.end()) return;
    NodeRun& run = it->second;
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (run[i] != node) continue;
        run.erase(i);
        if (run.size() == 0) {
            map.erase(it);
        } else if (i == 0) {
            auto handle = map.extract(it);
            handle.key() = handle.mapped()[0]->name;
            map.insert(std::move(handle));
        }
        return;
    }
}

// Tables are built aside and only then kept, so that running out of memory
// half-way leaves no half-built table behind.
Containers containers_of(KXCF_NODE* first, bool sections_only) {
    Containers built;
    for (KXCF_NODE* n = first; n; n = n->next) {
        if (n->name && (!sections_only || n->kind == KXCF_NODE_SECTION)) add_to(built.by_name, n);
        built.last = n;
    }
    return built;
}

Containers& sections(KXCF_FILE* f) {
    TreeIndex& index = index_of(f);
    if (!index.has_sections) {
        index.sections = containers_of(f->root, true);
        index.has_sections = true;
    }
    return index.sections;
}

Containers& subsections(KXCF_FILE* f, const KXCF_NODE* section) {
    auto& all = index_of(f).subsections;
    auto it = all.find(section);
    if (it == all.end()) it = all.emplace(section, containers_of(section->subsections, false)).first;
    return it->second;
}

KeywordLines& lines(KXCF_FILE* f, const KXCF_NODE* owner) {
    auto& all = index_of(f).lists;
    auto it = all.find(owner);
    if (it == all.end()) {
        KeywordLines built;
        for (KXCF_NODE* n = owner->u.lines; n; n = n->next) {
            if (!is_keyword_line(n)) continue;
            add_to(built.by_name, n);
            built.last = n;
        }
        it = all.emplace(owner, std::move(built)).first;
    }
    return it->second;
}

}  // namespace

const NodeRun* sections_named(KXCF_FILE* f, const std::string& name) {
    return run_named(sections(f).by_name, name);
}

KXCF_NODE* first_section(KXCF_FILE* f, const std::string& name) {
    const NodeRun* run = sections_named(f, name);
    return run ? (*run)[0] : nullptr;
}

const NodeRun* subsections_named(KXCF_FILE* f, const KXCF_NODE* section, const std::string& name) {
    return run_named(subsections(f, section).by_name, name);
}

const NodeRun* keywords_named(KXCF_FILE* f, const KXCF_NODE* owner, const std::string& name) {
    return run_named(lines(f, owner).by_name, name);
}

KXCF_NODE* last_top_node(KXCF_FILE* f) {
    return sections(f).last;
}

KXCF_NODE* last_subsection(KXCF_FILE* f, const KXCF_NODE* section) {
    return subsections(f, section).last;
}

KXCF_NODE* last_keyword_line(KXCF_FILE* f, const KXCF_NODE* owner) {
    return lines(f, owner).last;
}

void index_appended_section(KXCF_FILE* f, KXCF_NODE* node) {
    Containers& top = sections(f);
    add_to(top.by_name, node);
    top.last = node;
}

void index_appended_subsection(KXCF_FILE* f, const KXCF_NODE* section, KXCF_NODE* node) {
    Containers& list = subsections(f, section);
    add_to(list.by_name, node);
    list.last = node;
}

void index_appended_keyword(KXCF_FILE* f, const KXCF_NODE* owner, KXCF_NODE* line) {
    KeywordLines& list = lines(f, owner);
    add_to(list.by_name, line);
    list.last = line;
}

void index_removing_keyword(KXCF_FILE* f, const KXCF_NODE* owner, const KXCF_NODE* line) {
    KeywordLines& list = lines(f, owner);
    remove_from(list.by_name, line);
    if (list.last != line) return;
    list.last = line->prev;
    while (list.last && !is_keyword_line(list.last))
        list.last = list.last->prev;
}

void index_forget_list(KXCF_FILE* f, const KXCF_NODE* owner) {
    if (f->store && store_of(f).index) store_of(f).index->lists.erase(owner);
}

void index_drop(KXCF_FILE* f) {
    if (f->store) store_of(f).index.reset();
}

Arena& tree_arena(KXCF_FILE* f) {
    return store_of(f).arena;
}

const Arena* tree_arena_if_any(const KXCF_FILE* f) {
    return f->store ? &static_cast<const TreeStore*>(f->store)->arena : nullptr;
}

void drop_store(KXCF_FILE* f) {
    delete static_cast<TreeStore*>(f->store);
    f->store = nullptr;
}

// ---- arena -------------------------------------------------------------------

namespace {

// Blocks of at least this size are mapped on their own, in huge pages where
// the system offers them: a large file's tree would otherwise take one page
// fault per 4 KB, which costs as much as reading the lines.
constexpr std::size_t kMappedBlock = 4u << 20;
constexpr std::size_t kHugePage = 2u << 20;
constexpr std::size_t kSmallBlock = 1u << 20;

char* take_block(std::size_t& size) {
    if (size < kMappedBlock) return static_cast<char*>(std::malloc(size));
    size = (size + kHugePage - 1) & ~(kHugePage - 1);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    madvise(p, size, MADV_HUGEPAGE);  // a hint: without it the block still works
    return static_cast<char*>(p);
}

void give_block(char* start, std::size_t size) {
    if (size < kMappedBlock)
        std::free(start);
    else
        munmap(start, size);
}

}  // namespace

Arena::~Arena() {
    for (const Block& b : blocks_) give_block(b.start, b.size);
}

void Arena::reserve(std::size_t bytes) {
    block_size_ = bytes;
}

void* Arena::take(Lane& lane, std::size_t bytes) {
    if (lane.left < bytes) {
        std::size_t size = bytes > block_size_ ? bytes : block_size_;
        // Left unfilled: pages never touched cost no memory. Where address
        // space is limited, smaller blocks may still be had.
        char* start = take_block(size);
        if (!start && size > kSmallBlock) {
            block_size_ = size = bytes > kSmallBlock ? bytes : kSmallBlock;
            start = take_block(size);
        }
        if (!start) return nullptr;
        blocks_.push_back({start, size});
        lane = {start, size};
    }
    void* p = lane.next;
    lane.next += bytes;
    lane.left -= bytes;
    return p;
}

KXCF_NODE* Arena::allocate_node() {
    static_assert(sizeof(KXCF_NODE) % alignof(KXCF_NODE) == 0, "nodes must pack");
    return static_cast<KXCF_NODE*>(take(nodes_, sizeof(KXCF_NODE)));
}

char* Arena::allocate_text(std::size_t bytes) {
    return static_cast<char*>(take(text_, bytes));
}

bool Arena::owns(const void* p) const {
    auto* c = static_cast<const char*>(p);
    for (const Block& b : blocks_)
        if (c >= b.start && c < b.start + b.size) return true;
    return false;
}

}  // namespace kxcf
