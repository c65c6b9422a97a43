// The real SYSTEM.DAT of a Windows Me installation (1.2 MB): loading it,
// running RemoveAuxDevices and writing the file back (the new bytes, written,
// then read back through libcreg and compared), as `qvinst98 --registry FILE
// RemoveAuxDevices --save-dat NEW` does; and the same file grown to about
// 20 MB by an import of 60,000 keys, loaded and cleaned. Peak memory is the
// process's: run one benchmark alone for that figure.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DatImage.h"
#include "Exports.h"
#include "Machine.h"
#include "Tracers.h"

namespace {

const std::filesystem::path kFolder = std::filesystem::temp_directory_path();

std::filesystem::path unpackedDat() {
  static const std::filesystem::path file = [] {
    const std::filesystem::path out = kFolder / "qvinst98-bench-SYSTEM.DAT";
    const std::string command =
        "xz -dc '" + std::string(QVINST98_REAL_DAT) + "' > '" + out.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0 ? out : std::filesystem::path();
  }();
  return file;
}

void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The real file with 60,000 keys of two values each imported into it.
std::filesystem::path grownDat() {
  static const std::filesystem::path file = [] {
    if (unpackedDat().empty()) return std::filesystem::path();
    sim::Machine machine;
    const image::DatMount mount = image::loadDat(machine.registry, unpackedDat());
    const std::string text(200, 'x');
    for (int i = 0; i < 60000; ++i) {
      const std::string key = "HKLM\\Software\\QV Bench\\Group " + std::to_string(i / 100) +
                              "\\Key " + std::to_string(i);
      machine.registry.setString(key, "Data", text);
      machine.registry.setDword(key, "Number", static_cast<DWORD>(i));
    }
    const std::filesystem::path out = kFolder / "qvinst98-bench-GROWN.DAT";
    writeBytes(out, image::newDatBytes(machine.registry, mount));
    return out;
  }();
  return file;
}

void run(benchmark::State& state, const std::filesystem::path& file, bool write) {
  if (file.empty()) {
    state.SkipWithError("the real SYSTEM.DAT could not be unpacked");
    return;
  }
  const qvinst::ExportEntry* removeAux = nullptr;
  for (const auto& entry : qvinst::exportTable)
    if (std::string(entry.name) == "RemoveAuxDevices") removeAux = &entry;
  const std::filesystem::path out = kFolder / "qvinst98-bench-NEW.DAT";
  std::size_t keys = 0;
  for (auto _ : state) {
    sim::Machine machine;
    machine.setOs("winme");
    machine.log.setRecording(false);
    const image::DatMount mount = image::loadDat(machine.registry, file);
    keys = mount.keys;
    machine.configManager.loadFromRegistry();
    sim::ScopedMachine installed(machine);
    qvinst::onLoad();
    benchmark::DoNotOptimize(removeAux->fn(nullptr, 0, ""));
    if (!write) continue;
    image::writeDat(machine.registry, mount, out);
    image::verifyDat(out, machine.registry, mount);
  }
  const double size = static_cast<double>(std::filesystem::file_size(file));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["keys"] = static_cast<double>(keys);
  state.counters["file_MB"] = size / 1e6;
  state.counters["peak_RSS_MB"] = static_cast<double>(usage.ru_maxrss) * 1024 / 1e6;
  state.counters["peak_per_file_size"] = static_cast<double>(usage.ru_maxrss) * 1024 / size;
}

void loadRealDatRemoveAuxAndWrite(benchmark::State& state) {
  run(state, unpackedDat(), true);
}
void loadGrownDatAndRemoveAux(benchmark::State& state) {
  run(state, grownDat(), false);
}

BENCHMARK(loadRealDatRemoveAuxAndWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(loadGrownDatAndRemoveAux)->Unit(benchmark::kMillisecond);

}  // namespace
