// Coverage-guided fuzzing of whole cleanup runs: the fuzzer's bytes are a
// .reg image (after one byte that picks the export), loaded on a Windows 98
// and on a Windows XP machine; the export runs on each. Whatever the image
// holds, a run deletes nothing outside the product's records and the driver
// records that they name, and leaves no handle open.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Exports.h"
#include "Machine.h"
#include "QVPids.h"
#include "RegFile.h"

namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// A text that names one of the product's devices, or the root device.
bool namesProduct(std::string_view text) {
  const std::string id = upper(text);
  auto any = [&](const auto& table) {
    return std::any_of(table.begin(), table.end(), [&](std::string_view entry) {
      return !entry.empty() && id.find(entry) != std::string::npos;
    });
  };
  return any(qvinst::deviceVidPids) || any(qvinst::pedalVidPids) || any(qvinst::auxVidPids) ||
         id.find("*QV_TILLERDESK") != std::string::npos;
}

// Upper case, with the root key in its short form.
std::string keyPath(std::string_view path) {
  std::string key = upper(path);
  constexpr std::string_view longRoot = "HKEY_LOCAL_MACHINE\\";
  if (key.starts_with(longRoot)) key.replace(0, longRoot.size(), "HKLM\\");
  return key;
}

std::string valueText(const sim::Value& value) {
  std::string text(value.data.begin(), value.data.end());
  return text.substr(0, text.find('\0'));
}

// A "Driver" text that can name only one key below the class key: two or
// more non-empty components, none "." or "..", none ending in a blank or a
// dot. Only such references may lead a run to a driver key.
bool plainDriverReference(std::string_view driver) {
  if (driver.empty() || driver.size() > 200) return false;
  std::size_t components = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = driver.find('\\', start);
    const std::string_view part = driver.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.back() == ' ' || part.back() == '.')
      return false;
    ++components;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return components >= 2;
}

// The keys and values a run may delete, worked out from the image before the
// run and independently of the library.
struct Scope {
  std::vector<std::string> keyPrefixes;  // upper case, full paths
  std::set<std::string> driverNumbers;   // characters 7 to 10 of a driver reference

  bool allowsKey(const std::string& path) const {
    if (namesProduct(path)) return true;
    const std::string key = keyPath(path);
    for (const std::string& prefix : keyPrefixes) {
      if (key == prefix || key.starts_with(prefix + "\\")) return true;
    }
    const std::size_t at = key.find("\\MSJSTICK.DRV<");
    if (at != std::string::npos) {
      const std::size_t open = at + 13;
      const std::size_t close = key.find('>', open);
      if (close != std::string::npos &&
          driverNumbers.count(key.substr(open + 1, close - open - 1)) != 0)
        return true;
    }
    return false;
  }
};

Scope scopeOf(const sim::Registry& registry) {
  Scope scope;
  registry.forEachKey([&](const sim::KeySnapshot& key) {
    const bool product = namesProduct(key.path);
    for (const sim::Value& value : key.values) {
      const std::string text = valueText(value);
      // Interface keys are matched by the instance they name.
      if (upper(value.name) == "DEVICEINSTANCE" && namesProduct(text))
        scope.keyPrefixes.push_back(keyPath(key.path));
      if (product && upper(value.name) == "DRIVER" && plainDriverReference(text)) {
        for (const char* classKey : {"HKLM\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS\\",
                                     "HKLM\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\"}) {
          scope.keyPrefixes.push_back(classKey + upper(text));
        }
        if (text.size() >= 7) scope.driverNumbers.insert(upper(text.substr(6, 4)));
      }
    }
  });
  return scope;
}

void check(bool ok, const char* what, const std::string& detail) {
  if (ok) return;
  std::fprintf(stderr, "scope invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

void runOn(const char* os, const std::string& image, int exportIndex) {
  sim::Machine machine;
  machine.setOs(os);
  try {
    image::applyRegText(machine.registry, image, "fuzz.reg");
  } catch (const image::Error&) {
    return;
  }
  const Scope scope = scopeOf(machine.registry);
  machine.configManager.loadFromRegistry();
  machine.log.setRecording(false);
  {
    sim::ScopedMachine installed(machine);
    qvinst::onLoad();
    const qvinst::ExportEntry& entry = qvinst::exportTable[exportIndex];
    entry.fn(/*wnd=*/nullptr, /*unused=*/0, "");
  }
  for (const sim::Change& change : machine.changes) {
    switch (change.kind) {
      case sim::Change::Kind::DeletedKey:
        check(scope.allowsKey(change.path), "deleted key", change.path);
        break;
      case sim::Change::Kind::DeletedValue:
        check(namesProduct(change.valueName), "deleted value",
              change.path + "|" + change.valueName);
        break;
      case sim::Change::Kind::RemovedDevice:
      case sim::Change::Kind::RemovedNode:
        check(namesProduct(change.path), "removed device", change.path);
        break;
      default:
        break;
    }
  }
  check(machine.registry.openHandleCount() == 0, "registry handle left open", os);
  check(machine.openHandleCount() == 0, "handle left open", os);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The exports that delete: UninstUnInitialize, RemoveRootDevice,
  // RemoveUsbDevices, RemovePedalDevices, RemoveAuxDevices (ordinals 2, 5 to 8).
  static constexpr std::array<int, 5> cleanupExports = {1, 4, 5, 6, 7};
  const int exportIndex = cleanupExports[data[0] % cleanupExports.size()];
  const std::string image(reinterpret_cast<const char*>(data + 1), size - 1);
  runOn("win98", image, exportIndex);
  runOn("winxp", image, exportIndex);
  return 0;
}
