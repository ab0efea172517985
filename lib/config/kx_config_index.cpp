// Lookup tables of a file's tree: sections by name, each section's
// subsections by name and each list's keyword lines by name, so that a
// lookup costs the same whatever the length of the list. A list is first
// searched by walking it: a program that opens a file to read one value
// would otherwise pay for a table it never uses again, and a table costs
// many walks to build. Once a list has been walked a few times its table is
// built, and from then on kept correct by every edit; an edit that reorders
// or removes containers simply drops the tables, and the lists are walked
// again until they pay for new ones.
#include "kx_config_internal.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
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

void NodeRun::clear() {
    first_ = nullptr;
    rest_.clear();
}

namespace {

// Walks of one list before its table is built. A table costs about as much
// as a dozen walks (a hash entry per node against a compare), so a few
// walks cost less than the table would, and a program that goes on
// searching the list gets the table soon.
constexpr unsigned kWalksBeforeTable = 4;

// The runs of one list by name, in one array of slots probed from the
// name's hash: a lookup in a long list then costs a slot, the first node
// of its run and that node's name, where a table of linked entries would
// cost a bucket and an entry more, each a cache miss once the list is
// long. A slot's key is the name of its run's first node; a slot whose
// run is empty is free.
class NameTable {
public:
    NodeRun* find(const std::string& name) {
        if (slots_.empty()) return nullptr;
        Slot& slot = slot_for(name.c_str(), hash_of(name));
        return slot.run.size() ? &slot.run : nullptr;
    }

    void add(KXCF_NODE* node) {
        if ((used_ + 1) * 4 > slots_.size() * 3) grow();
        const std::size_t hash = hash_of(node->name);
        Slot& slot = slot_for(node->name, hash);
        if (!slot.run.size()) {
            slot.hash = hash;
            ++used_;
        }
        slot.run.push_back(node);
    }

    void remove(const KXCF_NODE* node) {
        if (slots_.empty()) return;
        Slot& slot = slot_for(node->name, hash_of(node->name));
        for (std::size_t i = 0; i < slot.run.size(); ++i) {
            if (slot.run[i] != node) continue;
            slot.run.erase(i);
            if (!slot.run.size()) free_slot(static_cast<std::size_t>(&slot - slots_.data()));
            return;
        }
    }

private:
    struct Slot {
        std::size_t hash = 0;
        NodeRun run;
    };

    static std::size_t hash_of(std::string_view name) { return std::hash<std::string_view>{}(name); }
    std::size_t mask() const { return slots_.size() - 1; }

    // The slot holding NAME, or the free slot where it would go (there is
    // always one).
    Slot& slot_for(const char* name, std::size_t hash) {
        for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (!slot.run.size() || (slot.hash == hash && std::strcmp(slot.run[0]->name, name) == 0)) return slot;
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        for (Slot& slot : old) {
            if (!slot.run.size()) continue;
            std::size_t i = slot.hash & mask();
            while (slots_[i].run.size()) i = (i + 1) & mask();
            slots_[i] = std::move(slot);
        }
    }

    // Frees slot HOLE and moves back the slots after it that their probe
    // would otherwise no longer reach.
    void free_slot(std::size_t hole) {
        for (std::size_t i = (hole + 1) & mask(); slots_[i].run.size(); i = (i + 1) & mask()) {
            const std::size_t home = slots_[i].hash & mask();
            if (((i - home) & mask()) >= ((i - hole) & mask())) {
                slots_[hole] = std::move(slots_[i]);
                hole = i;
            }
        }
        slots_[hole] = Slot{};
        --used_;
    }

    std::vector<Slot> slots_;  // a power of two of them, at most three quarters used
    std::size_t used_ = 0;
};

struct Table {
    NameTable by_name;
    KXCF_NODE* last = nullptr;  // where appended nodes go
};

// The three kinds of list: which nodes are found by name, and which may be
// the node that appended ones follow.
struct ListKind {
    bool (*named)(const KXCF_NODE*);
    bool (*ends)(const KXCF_NODE*);
};

bool is_section(const KXCF_NODE* n) {
    return n->kind == KXCF_NODE_SECTION && n->name;
}

bool has_name(const KXCF_NODE* n) {
    return n->name != nullptr;
}

bool any_node(const KXCF_NODE*) {
    return true;
}

bool is_keyword_line(const KXCF_NODE* n) {
    return n->kind == KXCF_NODE_LINE && !n->text;
}

// The top list holds the leading block and the sections.
const ListKind kTopList{is_section, any_node};
const ListKind kSubsectionList{has_name, any_node};
const ListKind kKeywordList{is_keyword_line, is_keyword_line};

// Every list of one kind, by owner (the top list's owner is null).
struct Lists {
    std::unordered_map<const KXCF_NODE*, Table> tables;
    std::unordered_map<const KXCF_NODE*, unsigned> walks;
    NodeRun walked;  // what the last walk found
};

struct TreeIndex {
    Lists top;
    Lists subsections;  // by section
    Lists lines;        // by list owner
};

// What a handle keeps beside its tree: the block memory the reader built
// it in, and the tables.
struct TreeStore {
    Arena arena;
    std::unique_ptr<TreeIndex> index;
    // Nodes and strings from malloc may be in the tree: false only while
    // the tree is the reader's alone.
    bool edited = true;
};

TreeStore& store_of(KXCF_FILE* f) {
    if (!f->store) f->store = new TreeStore;
    return *static_cast<TreeStore*>(f->store);
}

TreeIndex& index_of(KXCF_FILE* f) {
    TreeStore& store = store_of(f);
    if (!store.index) store.index = std::make_unique<TreeIndex>();
    return *store.index;
}

Table* table_of(Lists& lists, const KXCF_NODE* owner) {
    auto it = lists.tables.find(owner);
    return it == lists.tables.end() ? nullptr : &it->second;
}

// The table of the list starting at FIRST once it has been walked often
// enough, else null. Built aside and only then kept, so that running out
// of memory half-way leaves no half-built table behind.
Table* table_when_it_pays(Lists& lists, const ListKind& kind, const KXCF_NODE* owner, KXCF_NODE* first) {
    if (Table* table = table_of(lists, owner)) return table;
    if (++lists.walks[owner] <= kWalksBeforeTable) return nullptr;
    Table built;
    for (KXCF_NODE* n = first; n; n = n->next) {
        if (kind.named(n)) built.by_name.add(n);
        if (kind.ends(n)) built.last = n;
    }
    return &lists.tables.emplace(owner, std::move(built)).first->second;
}

const NodeRun* find_named(Lists& lists, const ListKind& kind, const KXCF_NODE* owner, KXCF_NODE* first,
                          const std::string& name) {
    if (Table* table = table_when_it_pays(lists, kind, owner, first)) {
        return table->by_name.find(name);
    }
    lists.walked.clear();
    for (KXCF_NODE* n = first; n; n = n->next)
        if (kind.named(n) && name_is(n, name)) lists.walked.push_back(n);
    return lists.walked.size() ? &lists.walked : nullptr;
}

KXCF_NODE* last_of(Lists& lists, const ListKind& kind, const KXCF_NODE* owner, KXCF_NODE* first) {
    if (Table* table = table_when_it_pays(lists, kind, owner, first)) return table->last;
    KXCF_NODE* last = nullptr;
    for (KXCF_NODE* n = first; n; n = n->next)
        if (kind.ends(n)) last = n;
    return last;
}

// An appended node enters the table if its list has one; a walk finds it.
void appended(KXCF_FILE* f, Lists TreeIndex::*kind, const KXCF_NODE* owner, KXCF_NODE* node) {
    if (!f->store || !store_of(f).index) return;
    if (Table* table = table_of(store_of(f).index.get()->*kind, owner)) {
        table->by_name.add(node);
        table->last = node;
    }
}

}  // namespace

const NodeRun* sections_named(KXCF_FILE* f, const std::string& name) {
    return find_named(index_of(f).top, kTopList, nullptr, f->root, name);
}

KXCF_NODE* first_section(KXCF_FILE* f, const std::string& name) {
    const NodeRun* run = sections_named(f, name);
    return run ? (*run)[0] : nullptr;
}

const NodeRun* subsections_named(KXCF_FILE* f, const KXCF_NODE* section, const std::string& name) {
    return find_named(index_of(f).subsections, kSubsectionList, section, section->subsections, name);
}

const NodeRun* keywords_named(KXCF_FILE* f, const KXCF_NODE* owner, const std::string& name) {
    return find_named(index_of(f).lines, kKeywordList, owner, owner->u.lines, name);
}

KXCF_NODE* last_top_node(KXCF_FILE* f) {
    return last_of(index_of(f).top, kTopList, nullptr, f->root);
}

KXCF_NODE* last_subsection(KXCF_FILE* f, const KXCF_NODE* section) {
    return last_of(index_of(f).subsections, kSubsectionList, section, section->subsections);
}

KXCF_NODE* last_keyword_line(KXCF_FILE* f, const KXCF_NODE* owner) {
    return last_of(index_of(f).lines, kKeywordList, owner, owner->u.lines);
}

void index_appended_section(KXCF_FILE* f, KXCF_NODE* node) {
    appended(f, &TreeIndex::top, nullptr, node);
}

void index_appended_subsection(KXCF_FILE* f, const KXCF_NODE* section, KXCF_NODE* node) {
    appended(f, &TreeIndex::subsections, section, node);
}

void index_appended_keyword(KXCF_FILE* f, const KXCF_NODE* owner, KXCF_NODE* line) {
    appended(f, &TreeIndex::lines, owner, line);
}

void index_removing_keyword(KXCF_FILE* f, const KXCF_NODE* owner, const KXCF_NODE* line) {
    if (!f->store || !store_of(f).index) return;
    Table* list = table_of(store_of(f).index->lines, owner);
    if (!list) return;
    list->by_name.remove(line);
    if (list->last != line) return;
    list->last = line->prev;
    while (list->last && !is_keyword_line(list->last))
        list->last = list->last->prev;
}

void index_forget_list(KXCF_FILE* f, const KXCF_NODE* owner) {
    if (f->store && store_of(f).index) store_of(f).index->lines.tables.erase(owner);
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

void note_parsed(KXCF_FILE* f) {
    store_of(f).edited = false;
}

void note_edit(KXCF_FILE* f) {
    if (f->store) static_cast<TreeStore*>(f->store)->edited = true;
}

bool tree_in_arena(const KXCF_FILE* f) {
    return f->store && !static_cast<const TreeStore*>(f->store)->edited;
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
    auto holds = [c](const Block& b) { return c >= b.start && c < b.start + b.size; };
    // Freeing a tree asks in tree order, which is the order its nodes and
    // strings were taken in: mostly the block that answered last time.
    if (last_owner_ < blocks_.size() && holds(blocks_[last_owner_])) return true;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (holds(blocks_[i])) {
            last_owner_ = i;
            return true;
        }
    }
    return false;
}

}  // namespace kxcf
