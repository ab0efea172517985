// The lookup tables of an update-mode handle live across many edits; a
// handle opened afresh for each edit walks its lists before it builds them
// anew, and a handle opened for a single lookup only walks. All must give
// the same answers and write the same lines, whatever the edits were. (Blank
// lines may differ: a section or subsection added by an edit is written
// after a blank line, which a fresh reading gives to the list before it.)
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

namespace {

using namespace kxtest;

const char* const kSections[] = {"a", "b", "system"};
const char* const kSubsections[] = {"x", "y", "path_expand"};
const char* const kKeywords[] = {"k1", "k2", "k3", "k4"};

template <class T, std::size_t N>
const char* pick(std::mt19937& rng, T (&names)[N]) {
    return names[rng() % N];
}

// One edit drawn at random, applied to F; the same seed gives the same edit.
int random_edit(KXCF_FILE* f, unsigned seed) {
    std::mt19937 rng(seed);
    const char* sec = pick(rng, kSections);
    const char* sub = rng() % 3 ? pick(rng, kSubsections) : nullptr;
    const char* kw = pick(rng, kKeywords);
    const std::string value = join({"v", std::to_string(rng() % 100)});
    const int instance = static_cast<int>(rng() % 3) + 1;
    switch (rng() % 10) {
        case 0: return kxcf_setsection(f, sec);
        case 1: return kxcf_setsubsection(f, sec, sub ? sub : "x");
        case 2: return kxcf_setvar_index(f, sec, sub, kw, value.c_str(), static_cast<int>(rng() % 4));
        case 3: return kxcf_delvar_inst(f, sec, sub, kw, instance);
        case 4: return rng() % 4 ? kxcf_delsubsection(f, sec, sub ? sub : "y") : kxcf_delsection(f, sec);
        default: return kxcf_setvar_inst(f, sec, sub, kw, value.c_str(), instance);
    }
}

// Every lookup of the name universe, with values or error codes, on F or,
// with F null, each on a handle of PATH opened for that lookup alone.
std::string answers(KXCF_FILE* f, const std::string& path = "") {
    std::string all;
    auto ask = [&](auto lookup) {
        KXCF_FILE* h = f ? f : kxcf_open(path.c_str(), 0);
        all += lookup(h);
        if (!f) kxcf_close(h);
    };
    for (const char* sec : kSections) {
        for (int s = -1; s < 3; ++s) {
            const char* sub = s < 0 ? nullptr : kSubsections[s];
            for (const char* kw : kKeywords) {
                ask([&](KXCF_FILE* h) {
                    const char* v = kxcf_getvar(h, sec, sub, kw, 0);
                    return (v == KXCF_FAIL ? std::to_string(kx_errno) : std::string(v)) + ' ';
                });
            }
            ask([&](KXCF_FILE* h) {
                return kxcf_findsubsection(h, sec, sub ? sub : "x") == 0 ? "+" : std::to_string(kx_errno);
            });
        }
        all += '\n';
    }
    return all;
}

std::string without_blank_lines(const std::string& text) {
    std::string out;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) out.append(text, at, end - at + 1);
    }
    return out;
}

TEST(KxcfLookupTables, LongLivedTablesFollowEveryEdit) {
    TempTree tree;
    const std::string kept = tree.file("kept"), fresh = tree.file("fresh");
    const std::string start =
        "# head\n[a]\nk1 = 1\nk2 = 2\nk1 = 3\n(x)\nk3 = 4\n[b]\n(y)\nk4\n[a]\n(x)\nk1 = 5\n"
        "[system]\n(path_expand)\nk2 = /p\n";
    write_file(kept, start);
    write_file(fresh, start);
    KXCF_FILE* f = kxcf_open(kept.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    for (unsigned step = 0; step < 600; ++step) {
        const unsigned seed = 1000 + step;
        int code_kept = random_edit(f, seed) ? kx_errno : 0;
        KXCF_FILE* g = kxcf_open(fresh.c_str(), KXCF_UPDATE);
        ASSERT_NE(g, nullptr);
        int code_fresh = random_edit(g, seed) ? kx_errno : 0;
        ASSERT_EQ(code_kept, code_fresh) << "step " << step;
        ASSERT_EQ(answers(f), answers(g)) << "step " << step;
        ASSERT_EQ(kxcf_close(g), 0);
        if (step % 10 == 0) {
            ASSERT_EQ(answers(nullptr, fresh), answers(f)) << "step " << step;
        }
        ASSERT_EQ(kxcf_flush(f), 0);
        ASSERT_EQ(without_blank_lines(read_file(kept)), without_blank_lines(read_file(fresh)))
            << "step " << step;
    }
    kxcf_close(f);
}

// A long list whose names come and go, so that names share and give back
// slots of its table: every name is still found, with its first value, as
// a walk of the list finds it.
TEST(KxcfLookupTables, NamesRemovedFromALongListLeaveTheOthersFound) {
    TempTree tree;
    std::string text = "[s]\n";
    for (int i = 0; i < 300; ++i) text += join({"k", std::to_string(i % 150), " = ", std::to_string(i), "\n"});
    const std::string path = tree.file("list");
    write_file(path, text);
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
    ASSERT_NE(f, nullptr);
    std::mt19937 rng(7);
    for (int step = 0; step < 3000; ++step) {
        const std::string kw = join({"k", std::to_string(rng() % 200)});
        if (rng() % 2) kxcf_delvar_inst(f, "s", nullptr, kw.c_str(), static_cast<int>(rng() % 2) + 1);
        else kxcf_setvar_inst(f, "s", nullptr, kw.c_str(), "v", static_cast<int>(rng() % 3) + 1);
        if (step % 100 != 99) continue;
        std::map<std::string, std::string> walked;
        const char *name, *value;
        kxcf_rewind(f);
        while ((value = kxcf_nextvar(f, "s", nullptr, &name, 0)) != KXCF_FAIL) walked.emplace(name, value);
        for (int i = 0; i < 200; ++i) {
            const std::string n = join({"k", std::to_string(i)});
            const char* got = kxcf_getvar(f, "s", nullptr, n.c_str(), 0);
            ASSERT_EQ(got == KXCF_FAIL ? "none" : got, walked.count(n) ? walked[n] : "none") << n << " at " << step;
        }
    }
    kxcf_close(f);
}

// N new keywords written and each read back, on one list of N keywords.
double list_work(const std::string& path, int n) {
    std::string text = "[s]\n";
    for (int i = 0; i < n; ++i) text += join({"old", std::to_string(i), " = ", std::to_string(i), "\n"});
    write_file(path, text);
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
    double seconds = cpu_seconds([&] {
        for (int i = 0; i < n; ++i) {
            kxcf_setvar(f, "s", nullptr, join({"new", std::to_string(i)}).c_str(), "v");
            kxcf_getvar(f, "s", nullptr, join({"old", std::to_string(n - 1 - i)}).c_str(), 0);
        }
    });
    kxcf_close(f);
    return seconds;
}

// Ten times the keywords must cost about ten times the work, not a hundred;
// the bound leaves room for a noisy machine and for cache effects.
TEST(KxcfLookupTables, EditsAndLookupsGrowLinearly) {
    TempTree tree;
    const std::string path = tree.file("list");
    list_work(path, 500);  // warm up
    double small = list_work(path, 2000), large = list_work(path, 20000);
    EXPECT_LT(large, 35 * small + 0.05) << small << " s for 2000, " << large << " s for 20000";
}

}  // namespace
