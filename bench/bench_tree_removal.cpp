// The removal of staging against rm -rf, on the same tree in the same run.
//
// Walker/folders:N: TreeWalk::remove of a folder holding N empty folders,
// as a cancelled batch of N folders leaves it in staging.
// RmRf/folders:N: `rm -rf` of the same tree, made the same way.
//
// The tree is made, and flushed to disk, outside the timing. Counters are
// per removed item: the CPU time of the removal (the walker's own, rm's as
// its child's; on a shared disk the wall time also holds the waits for the
// journal) and, for the walker, the names it read and the items it
// looked at with lstat. A removal linear in the items it touches keeps
// them flat as N grows.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/TreeWalk.h"

extern char** environ;

namespace fs = std::filesystem;
using platform::FileHandle;
using platform::TreeWalk;

namespace {

const fs::path kBenchRoot = fs::temp_directory_path() / ("bench_tree_removal." + std::to_string(::getpid()));

// The bench's folder, open.
const FileHandle& benchFolder() {
    static const FileHandle folder = [] {
        fs::create_directories(kBenchRoot);
        return FileHandle(::open(kBenchRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }();
    return folder;
}

// "flat", holding `folders` empty folders, on disk.
bool makeFlat(size_t folders) {
    const int root = benchFolder().fd();
    if (::mkdirat(root, "flat", 0755) != 0) return false;
    FileHandle flat(::openat(root, "flat", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i < folders; i++) {
        if (::mkdirat(flat.fd(), ("d" + std::to_string(i)).c_str(), 0755) != 0) return false;
    }
    return ::syncfs(flat.fd()) == 0;
}

// CPU seconds spent so far by the process itself or by its children.
double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool removedWithRm() {
    const std::string path = (kBenchRoot / "flat").string();
    const char* argv[] = {"rm", "-rf", path.c_str(), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, "rm", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Walker(benchmark::State& state) {
    const auto folders = static_cast<size_t>(state.range(0));
    uint64_t names = 0, looks = 0;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!makeFlat(folders)) return state.SkipWithError("the tree could not be made");
        const auto before = TreeWalk::effortForTesting();
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        state.ResumeTiming();
        auto removed = TreeWalk::remove(benchFolder().fd(), "flat");
        state.PauseTiming();
        cpu += cpuSeconds(RUSAGE_SELF) - cpuBefore;
        if (!removed || removed->entries != folders + 1) return state.SkipWithError("the removal failed");
        const auto after = TreeWalk::effortForTesting();
        names += after.namesRead - before.namesRead;
        looks += after.looks - before.looks;
        state.ResumeTiming();
    }
    const auto items = static_cast<double>(state.iterations() * (folders + 1));
    state.counters["items_per_second"] = benchmark::Counter(items, benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_item"] = cpu * 1e6 / items;
    state.counters["names_read"] = static_cast<double>(names) / items;
    state.counters["lstats"] = static_cast<double>(looks) / items;
}

void BM_RmRf(benchmark::State& state) {
    const auto folders = static_cast<size_t>(state.range(0));
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!makeFlat(folders)) return state.SkipWithError("the tree could not be made");
        const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        state.ResumeTiming();
        if (!removedWithRm()) return state.SkipWithError("rm -rf failed");
        state.PauseTiming();
        cpu += cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
        state.ResumeTiming();
    }
    const auto items = static_cast<double>(state.iterations() * (folders + 1));
    state.counters["cpu_us_per_item"] = cpu * 1e6 / items;
    state.counters["items_per_second"] = benchmark::Counter(items, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Walker)->ArgName("folders")->Arg(100000)->Arg(600000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RmRf)->ArgName("folders")->Arg(100000)->Arg(600000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a failed run left goes with the program.
struct RemoveBenchRoot {
    ~RemoveBenchRoot() {
        std::error_code ec;
        fs::remove_all(kBenchRoot, ec);
    }
} removeBenchRoot;

}  // namespace
