// The real SYSTEM.DAT of a Windows Me installation (1.2 MB): loading it and
// running RemoveAuxDevices, then previewing the changes or writing the file
// back (the new bytes, written, then read back through libcreg and compared),
// as `qvinst98 --registry FILE RemoveAuxDevices --save-dat NEW` does; and the same file grown to
// about 20 MB by an import of 60,000 keys, loaded and cleaned; and, for the floor that the reader
// sets, libcreg alone walking the real file. Peak memory is the process's: run one benchmark alone
// for that figure.
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
// After DatImage.h: the Windows types it brings keep libcreg's header from
// asking for libbfio's.
#include <libcreg.h>

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

void countMemory(benchmark::State& state, const std::filesystem::path& file) {
  const double size = static_cast<double>(std::filesystem::file_size(file));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["file_MB"] = size / 1e6;
  state.counters["peak_RSS_MB"] = static_cast<double>(usage.ru_maxrss) * 1024 / 1e6;
  state.counters["peak_per_file_size"] = static_cast<double>(usage.ru_maxrss) * 1024 / size;
}

// Every key's name and every value's name, type and data, as the load asks
// libcreg for them; nothing is kept. Returns the number of keys, or -1.
int walk(libcreg_key_t* key) {
  int values = 0;
  int subkeys = 0;
  if (libcreg_key_get_number_of_values(key, &values, nullptr) != 1 ||
      libcreg_key_get_number_of_sub_keys(key, &subkeys, nullptr) != 1)
    return -1;
  std::uint8_t buffer[65536];
  std::size_t size = 0;
  for (int i = 0; i < values; ++i) {
    libcreg_value_t* value = nullptr;
    if (libcreg_key_get_value_by_index(key, i, &value, nullptr) != 1) return -1;
    std::uint32_t type = 0;
    const bool read =
        libcreg_value_get_name_size(value, &size, nullptr) == 1 &&
        (size == 0 || libcreg_value_get_name(value, buffer, size, nullptr) == 1) &&
        libcreg_value_get_value_type(value, &type, nullptr) == 1 &&
        libcreg_value_get_value_data_size(value, &size, nullptr) == 1 &&
        (size == 0 || libcreg_value_get_value_data(value, buffer, size, nullptr) == 1);
    libcreg_value_free(&value, nullptr);
    if (!read) return -1;
  }
  int keys = 1;
  for (int i = 0; i < subkeys && keys > 0; ++i) {
    libcreg_key_t* child = nullptr;
    if (libcreg_key_get_sub_key_by_index(key, i, &child, nullptr) != 1) return -1;
    const int below = libcreg_key_get_name_size(child, &size, nullptr) == 1 &&
                              (size == 0 || libcreg_key_get_name(child, buffer, size, nullptr) == 1)
                          ? walk(child)
                          : -1;
    libcreg_key_free(&child, nullptr);
    keys = below < 0 ? -1 : keys + below;
  }
  return keys;
}

enum class Then { nothing, preview, write };

void run(benchmark::State& state, const std::filesystem::path& file, Then then) {
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
    if (then == Then::preview) {
      // The changes, as a run without --commit asks for them.
      const image::InputFile input = image::InputFile::open(file, false);
      benchmark::DoNotOptimize(image::DatImageFile(input, mount, machine.registry).changed());
    }
    if (then != Then::write) continue;
    image::writeDat(machine.registry, mount, out);
  }
  state.counters["keys"] = static_cast<double>(keys);
  countMemory(state, file);
}

// The floor that the reader sets: libcreg alone, opening the real file and
// walking it as the load does.
void walkRealDatWithLibcregAlone(benchmark::State& state) {
  const std::filesystem::path file = unpackedDat();
  if (file.empty()) {
    state.SkipWithError("the real SYSTEM.DAT could not be unpacked");
    return;
  }
  int keys = 0;
  for (auto _ : state) {
    libcreg_file_t* creg = nullptr;
    libcreg_key_t* root = nullptr;
    keys = -1;
    if (libcreg_file_initialize(&creg, nullptr) == 1 &&
        libcreg_file_open(creg, file.c_str(), LIBCREG_OPEN_READ, nullptr) == 1 &&
        libcreg_file_get_root_key(creg, &root, nullptr) == 1) {
      keys = walk(root);
      libcreg_key_free(&root, nullptr);
    }
    libcreg_file_close(creg, nullptr);
    libcreg_file_free(&creg, nullptr);
    if (keys < 0) {
      state.SkipWithError("libcreg could not walk the file");
      return;
    }
  }
  state.counters["keys"] = keys;
  countMemory(state, file);
}

// A preview: load, RemoveAuxDevices, and whether the file changes; at most a
// quarter of the libcreg walk above.
void previewRealDatRemoveAux(benchmark::State& state) {
  run(state, unpackedDat(), Then::preview);
}
// The new file written and read back through libcreg (writeDat does both).
void loadRealDatRemoveAuxAndWrite(benchmark::State& state) {
  run(state, unpackedDat(), Then::write);
}
void loadGrownDatAndRemoveAux(benchmark::State& state) {
  run(state, grownDat(), Then::nothing);
}

BENCHMARK(walkRealDatWithLibcregAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(previewRealDatRemoveAux)->Unit(benchmark::kMillisecond);
BENCHMARK(loadRealDatRemoveAuxAndWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(loadGrownDatAndRemoveAux)->Unit(benchmark::kMillisecond);

}  // namespace
