// Loading the real SYSTEM hive of a Windows 7 installation (11.7 MB) and
// running RemoveAuxDevices over it, as `qvinst98 --hive SYSTEM=FILE
// RemoveAuxDevices` does; the whole of it is timed. Peak memory is the
// process's, so run this benchmark alone for that figure:
//   qvinst98_bench --benchmark_filter=Hive
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Exports.h"
#include "HiveImage.h"
#include "Machine.h"
#include "Tracers.h"

namespace {

// The hive unpacked once into a temporary file; empty when that fails.
std::filesystem::path unpackedHive() {
  static const std::filesystem::path file = [] {
    const std::filesystem::path out =
        std::filesystem::temp_directory_path() / "qvinst98-bench-SYSTEM";
    const std::string command =
        "xz -dc '" + std::string(QVINST98_REAL_HIVE) + "' > '" + out.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return std::filesystem::path();
    return out;
  }();
  return file;
}

void loadRealHiveAndRemoveAux(benchmark::State& state) {
  const std::filesystem::path hive = unpackedHive();
  if (hive.empty()) {
    state.SkipWithError("the real hive could not be unpacked");
    return;
  }
  const qvinst::ExportEntry* removeAux = nullptr;
  for (const auto& entry : qvinst::exportTable)
    if (std::string(entry.name) == "RemoveAuxDevices") removeAux = &entry;
  std::size_t keys = 0;
  for (auto _ : state) {
    sim::Machine machine;
    machine.setOs("winxp");
    machine.log.setRecording(false);
    keys = image::loadHive(machine.registry, hive, image::HiveKind::System).keys;
    machine.configManager.loadFromRegistry();
    sim::ScopedMachine installed(machine);
    qvinst::onLoad();
    benchmark::DoNotOptimize(removeAux->fn(nullptr, 0, ""));
  }
  const double size = static_cast<double>(std::filesystem::file_size(hive));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["keys"] = static_cast<double>(keys);
  state.counters["hive_MB"] = size / 1e6;
  state.counters["peak_RSS_MB"] = static_cast<double>(usage.ru_maxrss) * 1024 / 1e6;
  state.counters["peak_per_hive_size"] = static_cast<double>(usage.ru_maxrss) * 1024 / size;
}

BENCHMARK(loadRealHiveAndRemoveAux)->Unit(benchmark::kMillisecond);

}  // namespace
