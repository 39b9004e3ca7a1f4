// foundation_bench - the random source that every scanning thread draws from, the names
// built from it, and the price of a debug log line.
//
// NAME
//   foundation_bench - benchmarks of the foundation library
// SYNOPSIS
//   foundation_bench [--benchmark_filter=REGEX]
// DESCRIPTION
//   NextRandom is taken under a spin lock by every thread that names a job; it must stay
//   short and allocation-free when threads contend. LogDebug is called on every step of a
//   mail's path; at debug level 0 it must cost next to nothing, and a written line must not
//   cost more than a file append.
// FILES
//   A temporary machine root (removed at exit) holds the debug log files.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/log.h"
#include "foundation/utilities.h"
#include "platform/win32/machine.h"

namespace {

// A fresh root for the log files of the run.
struct BenchRoot {
  BenchRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-bench-XXXXXX").string();
    path = mkdtemp(pattern.data());
    std::filesystem::create_directories(path + "/report");
    vtplatform::SetSystemRoot(path);
  }
  ~BenchRoot() {
    foundation::CloseLog();
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

BenchRoot& Root() {
  static BenchRoot root;
  return root;
}

void BM_NextRandom(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(foundation::NextRandom());
}
BENCHMARK(BM_NextRandom)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_MakeId(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(foundation::MakeId());
}
BENCHMARK(BM_MakeId);

void BM_UniqueSuffix(benchmark::State& state) {
  for (auto _ : state) {
    std::string path = "/root/vantrel/IN/";
    foundation::UniqueSuffix(path, 100);
    benchmark::DoNotOptimize(path);
  }
}
BENCHMARK(BM_UniqueSuffix);

void BM_LogDebug(benchmark::State& state) {
  foundation::LogSettings settings;
  settings.report_directory = Root().path + "/report";
  settings.program_name = "nrouter";
  settings.debug_level = static_cast<int>(state.range(0));
  settings.log_buf_size = foundation::kDefaultLogBufSize;
  foundation::InitLog(settings);
  for (auto _ : state) foundation::LogDebug("Number = %d  Note ID is: %lX. Scanning...", 42, 0x8F6ul);
  foundation::CloseLog();
}
BENCHMARK(BM_LogDebug)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
