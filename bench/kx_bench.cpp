// Benchmarks of the configuration file library and the upgrade program:
// parse and round-trip throughput against inih, kxcf_getvar and
// kxcf_setvar per call by list length, peak memory of a parse, and
// config_upgrade end to end over generated installations. Inputs are made
// in a scratch directory that is removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ini.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "kxcf.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// ---- scratch files -----------------------------------------------------------

const fs::path& scratch() {
    static const fs::path dir = [] {
        std::string templ = (fs::temp_directory_path() / "kx_bench.XXXXXX").string();
        if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        return fs::path(templ);
    }();
    return dir;
}

struct ScratchCleanup {
    ~ScratchCleanup() {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
    }
};

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string keyword(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "keyword_%05d", i);
    return name;
}

// About MB megabytes of sections of 20 keyword lines of about 27 bytes
// ("keyword_00012 = value_1234"), with a comment now and then.
const fs::path& sized_file(int mb) {
    static std::map<int, fs::path> made;
    fs::path& path = made[mb];
    if (!path.empty()) return path;
    path = scratch() / ("sized_" + std::to_string(mb) + ".cfg");
    std::string text;
    const std::size_t want = static_cast<std::size_t>(mb) << 20;
    text.reserve(want + 4096);
    for (int s = 0; text.size() < want; ++s) {
        text += "# section " + std::to_string(s) + "\n[section_" + std::to_string(s) + "]\n";
        for (int k = 0; k < 20; ++k)
            text += keyword(k) + " = value_" + std::to_string((s * 20 + k) % 10000) + "\n";
    }
    write_text(path, text);
    return path;
}

// One section "big" of N keywords.
const fs::path& list_file(int n) {
    static std::map<int, fs::path> made;
    fs::path& path = made[n];
    if (!path.empty()) return path;
    path = scratch() / ("list_" + std::to_string(n) + ".cfg");
    std::string text = "[big]\n";
    for (int i = 0; i < n; ++i) text += keyword(i) + " = value_" + std::to_string(i) + "\n";
    write_text(path, text);
    return path;
}

// ---- parse and round trip ------------------------------------------------------

constexpr int kSizes[] = {1, 16, 64};

void BM_ParseKx(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        KXCF_FILE* f = kxcf_open(path.c_str(), 0);
        if (!f) state.SkipWithError("kxcf_open failed");
        kxcf_close(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

int inih_noop(void*, const char*, const char*, const char*) {
    return 1;
}

int inih_fill_map(void* user, const char* section, const char* name, const char* value) {
    auto& map = *static_cast<std::map<std::string, std::string>*>(user);
    map[std::string(section) + '\n' + name] = value;
    return 1;
}

void BM_ParseInihNoop(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    for (auto _ : state)
        if (ini_parse(path.c_str(), inih_noop, nullptr) != 0) state.SkipWithError("ini_parse failed");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

void BM_ParseInihMap(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::map<std::string, std::string> map;
        if (ini_parse(path.c_str(), inih_fill_map, &map) != 0) state.SkipWithError("ini_parse failed");
        benchmark::DoNotOptimize(map.size());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

// The same two parses, each in a fresh process (this program again, see
// main), as a program that reads its configuration once at start pays
// them: the process's start and its first touch of the memory included.
// Timed by the process's processor time, which other work on a shared
// machine disturbs less than the time on the clock.
int run(const std::string& program, const std::vector<std::string>& args, const fs::path& dir,
        const std::vector<std::string>& env, long* peak_kb = nullptr, double* cpu_seconds = nullptr);
const std::string& self_path();

void parse_in_fresh_process(benchmark::State& state, const char* how) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        double seconds = 0;
        if (run(self_path(), {how, path.string()}, scratch(), {}, nullptr, &seconds) != 0)
            state.SkipWithError("the parse failed");
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

void BM_ParseKxFresh(benchmark::State& state) {
    parse_in_fresh_process(state, "--kx-parse");
}

void BM_ParseInihNoopFresh(benchmark::State& state) {
    parse_in_fresh_process(state, "--kx-inih-noop");
}

// Update-mode open, one edit, close: read, lock, write back, rename.
void BM_RoundTripKx(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    int round = 0;
    for (auto _ : state) {
        KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
        if (!f || kxcf_setvar(f, "section_0", nullptr, "keyword_00000", std::to_string(round++ % 2).c_str()) != 0 ||
            kxcf_close(f) != 0)
            state.SkipWithError("round trip failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

// What a write-back cannot beat: the file read, written to a new file,
// fsynced and renamed over itself, with no parse.
void BM_RawRewrite(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    const fs::path tmp = path.string() + ".raw";
    for (auto _ : state) {
        const std::string text = read_text(path);
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) state.SkipWithError("raw rewrite failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(path)));
}

// Peak memory of a read-only parse, as a multiple of the file size: a
// fresh process (this program again, see main) parses and reports.
double parse_peak_ratio(const fs::path& path);

void BM_ParsePeakMemory(benchmark::State& state) {
    const fs::path& path = sized_file(static_cast<int>(state.range(0)));
    double ratio = 0;
    for (auto _ : state) ratio = parse_peak_ratio(path);
    state.counters["x_file"] = ratio;
}

// ---- lookups and edits -----------------------------------------------------------

void BM_Getvar(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    KXCF_FILE* f = kxcf_open(list_file(n).c_str(), KXCF_NOEXPAND);
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) names.push_back(keyword(static_cast<int>((i * 7919L) % n)));
    std::size_t i = 0;
    for (auto _ : state) {
        const char* v = kxcf_getvar(f, "big", nullptr, names[i++ % names.size()].c_str(), 0);
        if (v == KXCF_FAIL) state.SkipWithError("kxcf_getvar failed");
        benchmark::DoNotOptimize(v);
    }
    kxcf_close(f);
}

// Opening a file of one list of N keywords, and the first lookup on such a
// handle (the open not timed): a program that reads one value pays both.
void BM_OpenList(benchmark::State& state) {
    const fs::path& path = list_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_NOEXPAND);
        if (!f) state.SkipWithError("kxcf_open failed");
        kxcf_close(f);
    }
}

void BM_FirstGetvar(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string name = keyword(n / 2);
    for (auto _ : state) {
        state.PauseTiming();
        KXCF_FILE* f = kxcf_open(list_file(n).c_str(), KXCF_NOEXPAND);
        state.ResumeTiming();
        if (kxcf_getvar(f, "big", nullptr, name.c_str(), 0) == KXCF_FAIL) state.SkipWithError("kxcf_getvar failed");
        state.PauseTiming();
        kxcf_close(f);
        state.ResumeTiming();
    }
}

// N kxcf_setvar on one update-mode handle: to keywords the list holds
// (range 1 = 0) or to new ones (1). Open and close are not timed.
void BM_Setvar(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const bool fresh = state.range(1) != 0;
    const fs::path path = scratch() / "setvar.cfg";
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.push_back(fresh ? "new_" + keyword(i) : keyword(i));
    for (auto _ : state) {
        state.PauseTiming();
        fs::copy_file(list_file(n), path, fs::copy_options::overwrite_existing);
        KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
        state.ResumeTiming();
        for (const std::string& name : names)
            if (kxcf_setvar(f, "big", nullptr, name.c_str(), "changed") != 0) state.SkipWithError("kxcf_setvar failed");
        state.PauseTiming();
        kxcf_close(f);
        state.ResumeTiming();
    }
}

// ---- config_upgrade end to end -------------------------------------------------------

enum Shape { kOneList, kOnePattern, kSections, kMainConfig, kNewSections };

// An installation to upgrade: new file NAME, previous file of release
// v4.0.1, rules, both syntax files and a main file naming the log.
struct Installation {
    fs::path home;
    std::string name;
    std::string new_text;
};

struct Texts {
    std::string new_file, prev_file, rules, syntax;
};

Texts shape_texts(Shape shape, int n, const std::string& log_line) {
    Texts t;
    auto list = [&](const char* value) {
        std::string s = "[big]\n";
        for (int i = 0; i < n; ++i) s += keyword(i) + " = " + value + std::to_string(i) + "\n";
        return s;
    };
    switch (shape) {
        case kOneList:
        case kOnePattern:
        case kMainConfig: {
            const std::string log = shape == kMainConfig ? log_line : "";
            t.new_file = log + list("new");
            t.prev_file = log + list("old");
            t.rules = shape == kMainConfig ? "[log_files]\n(..)\n..\n_upgrade = custom\n" : "";
            t.syntax = shape == kMainConfig ? "[log_files]\n(system)\nlog_file = string\n" : "";
            t.rules += "[big]\n";
            t.syntax += "[big]\n";
            if (shape == kOnePattern) {
                t.rules += "keyword_..\n_upgrade = custom\n";
                t.syntax += "keyword_.. = string\n";
                break;
            }
            for (int i = 0; i < n; ++i) {
                t.rules += keyword(i) + "\n_upgrade = custom\n";
                t.syntax += keyword(i) + " = string\n";
            }
            break;
        }
        case kSections:
            for (int s = 0; s < n; ++s) {
                const std::string header = "[s" + std::to_string(s) + "]\n";
                t.new_file += header;
                t.prev_file += header;
                t.rules += header;
                t.syntax += header;
                for (int k = 0; k < 10; ++k) {
                    const std::string kw = "k" + std::to_string(k);
                    t.new_file += kw + " = new" + std::to_string(k) + "\n";
                    t.prev_file += kw + " = old" + std::to_string(k) + "\n";
                    t.rules += kw + "\n_upgrade = custom\n";
                    t.syntax += kw + " = string\n";
                }
            }
            break;
        case kNewSections:
            for (int s = 0; s < n; ++s) t.new_file += "[s" + std::to_string(s) + "]\nk = new\n";
            t.prev_file = "[s0]\nk = old\n";
            t.rules = "[s..]\nk\n_upgrade = custom\n";
            t.syntax = "[s..]\nk = string\n";
            break;
    }
    return t;
}

Installation make_installation(Shape shape, int n) {
    Installation inst;
    inst.home = scratch() / ("home_" + std::to_string(shape) + "_" + std::to_string(n));
    const fs::path etc = inst.home / "qzt/etc";
    inst.name = shape == kMainConfig ? "qzt_config" : "cfg";
    const std::string log_line = "[log_files]\n(system)\nlog_file = " + (inst.home / "qzt/log/qzt_log").string() + "\n";
    Texts t = shape_texts(shape, n, log_line);
    inst.new_text = t.new_file;
    write_text(etc / "v4.0.1/custom" / inst.name, t.prev_file);
    write_text(etc / "upgrade" / (inst.name + ".upg"), t.rules);
    write_text(etc / "syntax" / (inst.name + ".syn"), t.syntax);
    write_text(etc / "v4.0.1/custom/syntax" / (inst.name + ".syn"), t.syntax);
    if (shape != kMainConfig) write_text(etc / "qzt_config", log_line);
    fs::create_directories(inst.home / "qzt/log");
    return inst;
}

// Runs PROGRAM with ARGS in DIR with ENV added; its exit status.
// Its peak resident size in KB goes to PEAK_KB and the processor time it
// and the children it waited for took to CPU_SECONDS, when given.
int run(const std::string& program, const std::vector<std::string>& args, const fs::path& dir,
        const std::vector<std::string>& env, long* peak_kb, double* cpu_seconds) {
    std::vector<std::string> envs = env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "KESTRIX_HOME=", 13) != 0 && (env.empty() || std::strncmp(*e, "PATH=", 5) != 0))
            envs.push_back(*e);
    std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (peak_kb) *peak_kb = usage.ru_maxrss;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    if (cpu_seconds) *cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string& self_path() {
    static const std::string path = fs::canonical("/proc/self/exe").string();
    return path;
}

std::string programs_dir() {
    const char* dir = std::getenv("KX_BENCH_PROGRAMS");
    return dir ? dir : KX_BENCH_PROGRAMS;
}

void BM_Upgrade(benchmark::State& state) {
    const auto shape = static_cast<Shape>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    Installation inst = make_installation(shape, n);
    const fs::path etc = inst.home / "qzt/etc";
    const std::string bin = programs_dir();
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        write_text(etc / inst.name, inst.new_text);
        fs::remove(inst.home / "qzt/log/qzt_log");
        state.ResumeTiming();
        double seconds = 0;
        int status = run(bin + "/config_upgrade", {"-c", inst.name, "-v", "v5.0.0", "-V", "v4.0.1"}, etc,
                         {"KESTRIX_HOME=" + inst.home.string(), "PATH=" + bin + ":/usr/bin:/bin"}, nullptr, &seconds);
        if (status != 0) state.SkipWithError("config_upgrade failed");
        cpu += seconds;
    }
    // Processor time, which other work on a shared machine disturbs less
    // than the time on the clock.
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    fs::remove_all(inst.home);
}

// The installation of examples/, upgraded as the demo does.
void BM_UpgradeExample(benchmark::State& state) {
    const fs::path home = scratch() / "example";
    const std::string bin = programs_dir();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(home);
        fs::copy(KX_BENCH_SOURCE "/examples", home, fs::copy_options::recursive);
        state.ResumeTiming();
        int status = run(bin + "/config_upgrade", {"-c", "qzt_config"}, home / "qzt/etc",
                         {"KESTRIX_HOME=" + home.string(), "PATH=" + bin + ":/usr/bin:/bin"});
        if (status != 0) state.SkipWithError("config_upgrade failed");
    }
    fs::remove_all(home);
}

// A whole process reading one value: kxconf get against git config on the
// same four lines (range 0), and kxconf get on a 64 MB file against a
// process that only opens it read-only (range 1: this program again, see
// main), with the peak memory of each in MB and its processor time.
enum Reader { kKxconfSmall, kGitSmall, kKxconfLarge, kOpenLarge };

void BM_ReadOneValue(benchmark::State& state) {
    const auto reader = static_cast<Reader>(state.range(0));
    const fs::path small = scratch() / "small.cfg";
    if (!fs::exists(small)) write_text(small, "[core]\nbare = false\n[user]\nname = x\n");
    const std::string large = sized_file(64).string();
    const std::string bin = programs_dir();
    std::vector<std::string> command;
    switch (reader) {
        case kKxconfSmall: command = {bin + "/kxconf", "-f", small.string(), "get", "core", "bare"}; break;
        case kGitSmall: command = {"/usr/bin/git", "config", "-f", small.string(), "core.bare"}; break;
        case kKxconfLarge: command = {bin + "/kxconf", "-f", large, "get", "section_1000", "keyword_00003"}; break;
        case kOpenLarge: command = {self_path(), "--kx-parse-peak", large}; break;
    }
    long peak_kb = 0;
    double cpu = 0;
    for (auto _ : state) {
        long kb = 0;
        double seconds = 0;
        if (run(command[0], {command.begin() + 1, command.end()}, scratch(), {}, &kb, &seconds) != 0)
            state.SkipWithError("the command failed");
        peak_kb = std::max(peak_kb, kb);
        cpu += seconds;
    }
    state.counters["peak_mb"] = static_cast<double>(peak_kb) / 1024;
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void upgrade_args(benchmark::internal::Benchmark* b) {
    b->Args({kOneList, 1000})->Args({kOneList, 10000});
    b->Args({kOnePattern, 1000})->Args({kOnePattern, 10000});
    b->Args({kSections, 1000})->Args({kSections, 10000});
    b->Args({kMainConfig, 500})->Args({kMainConfig, 5000});
    b->Args({kNewSections, 20000})->Args({kNewSections, 80000});
#ifndef KX_BENCH_IS_BASELINE
    b->Args({kNewSections, 1000000});  // quadratic before: hours
#endif
}

// Registered from the tables above rather than with the macro.
void register_all() {
    for (int mb : kSizes) {
        benchmark::RegisterBenchmark("BM_ParseKx", BM_ParseKx)->Arg(mb)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ParseInihNoop", BM_ParseInihNoop)->Arg(mb)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ParseInihMap", BM_ParseInihMap)->Arg(mb)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ParseKxFresh", BM_ParseKxFresh)->Arg(mb)->Unit(benchmark::kMillisecond)->UseManualTime();
        benchmark::RegisterBenchmark("BM_ParseInihNoopFresh", BM_ParseInihNoopFresh)->Arg(mb)->Unit(benchmark::kMillisecond)->UseManualTime();
        benchmark::RegisterBenchmark("BM_RoundTripKx", BM_RoundTripKx)->Arg(mb)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_RawRewrite", BM_RawRewrite)->Arg(mb)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("BM_OpenList", BM_OpenList)->Arg(100000)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_FirstGetvar", BM_FirstGetvar)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(20);
    benchmark::RegisterBenchmark("BM_ParsePeakMemory", BM_ParsePeakMemory)->Arg(16)->Iterations(1);
    for (int n : {1000, 10000, 100000}) {
        benchmark::RegisterBenchmark("BM_Getvar", BM_Getvar)->Arg(n);
        benchmark::RegisterBenchmark("BM_Setvar", BM_Setvar)->Args({n, 0})->Args({n, 1})->Unit(benchmark::kMillisecond)->Iterations(n >= 100000 ? 1 : 3);
    }
    benchmark::RegisterBenchmark("BM_ReadOneValue", BM_ReadOneValue)
        ->DenseRange(kKxconfSmall, kGitSmall)->Unit(benchmark::kMillisecond)->Iterations(50)->UseRealTime();
    benchmark::RegisterBenchmark("BM_ReadOneValue", BM_ReadOneValue)
        ->DenseRange(kKxconfLarge, kOpenLarge)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    benchmark::RegisterBenchmark("BM_UpgradeExample", BM_UpgradeExample)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
    benchmark::RegisterBenchmark("BM_Upgrade", BM_Upgrade)->Apply(upgrade_args)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
}

long peak_kb() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The child's side: parse PATH and print the growth of the peak resident
// size in kilobytes.
int report_parse_peak(const char* path) {
    const long before = peak_kb();
    KXCF_FILE* f = kxcf_open(path, 0);
    if (!f) return 1;
    const long after = peak_kb();
    kxcf_close(f);
    std::printf("%ld\n", after - before);
    return 0;
}

double parse_peak_ratio(const fs::path& path) {
    const fs::path out = scratch() / "peak.txt";
    const std::string command = "'" + self_path() + "' --kx-parse-peak '" + path.string() + "' > '" + out.string() + "'";
    if (std::system(command.c_str()) != 0) return -1;
    const double kb = std::atof(read_text(out).c_str());
    return kb * 1024.0 / static_cast<double>(fs::file_size(path));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--kx-parse-peak") == 0) return report_parse_peak(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--kx-parse") == 0) {
        KXCF_FILE* f = kxcf_open(argv[2], 0);
        return f && kxcf_close(f) == 0 ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "--kx-inih-noop") == 0) return ini_parse(argv[2], inih_noop, nullptr) == 0 ? 0 : 1;
    ScratchCleanup cleanup;
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
