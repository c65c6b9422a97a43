// Cost of one cleanup run per device key below the enumerator key, tracing
// and call recording off. Each iteration gets a freshly built machine; only
// the export itself is timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Exports.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"

namespace {

constexpr int kProductShare = 100;  // one device key in a hundred is the product's
constexpr int kProductIds = 80;     // entries of the joystick-device table

std::string hex4(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", n & 0xFFFF);
  return text;
}

// Windows 98: `keys` device keys below Enum\USB, each with one instance whose
// "Driver" names a driver key. The product's keys carry a serial number
// after the product ID, which the containment test still accepts.
std::unique_ptr<sim::Machine> buildWin98(int keys) {
  auto machine = std::make_unique<sim::Machine>();
  machine->setOs("win98");
  machine->log.setRecording(false);
  sim::Registry& registry = machine->registry;
  const std::string usb = "HKLM\\Enum\\USB\\";
  const std::string classKey = "HKLM\\System\\CurrentControlSet\\Services\\Class\\HID\\";
  for (int i = 0; i < keys; ++i) {
    const bool product = i % kProductShare == 0;
    const std::string serial = std::to_string(100000 + i);
    const std::string device =
        product
            ? "VID_1D9F&PID_21" + hex4(i / kProductShare % kProductIds).substr(2) + "&SN_" + serial
            : "VID_045E&PID_" + hex4(i) + "&SN_" + serial;
    const std::string driver = "HID\\" + serial;
    registry.setString(usb + device + "\\5&1", "Driver", driver);
    if (product) registry.addKey(classKey + serial);
  }
  return machine;
}

// Windows XP: the query selects instances by product ID, so the product's
// share is its instances, spread over at most the 80 product IDs; every other
// device key is another maker's.
std::unique_ptr<sim::Machine> buildWinXp(int keys) {
  auto machine = std::make_unique<sim::Machine>();
  machine->setOs("winxp");
  machine->log.setRecording(false);
  sim::Registry& registry = machine->registry;
  const std::string usb = "HKLM\\System\\CurrentControlSet\\Enum\\USB\\";
  const std::string kHidClassGuid = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\";
  const std::string classKey = "HKLM\\System\\CurrentControlSet\\Control\\Class\\" + kHidClassGuid;
  for (int i = 0; i < keys; ++i) {
    const bool product = i % kProductShare == 0;
    const std::string serial = std::to_string(100000 + i);
    const std::string device =
        product ? "VID_1D9F&PID_21" + hex4(i / kProductShare % kProductIds).substr(2)
                : "VID_045E&PID_" + hex4(i) + "&SN_" + serial;
    registry.setString(usb + device + "\\" + serial, "Driver", kHidClassGuid + serial);
    if (product) registry.addKey(classKey + serial);
  }
  machine->configManager.loadFromRegistry();
  return machine;
}

template <std::unique_ptr<sim::Machine> (*Build)(int)>
void cleanupRun(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::unique_ptr<sim::Machine> machine = Build(keys);
    sim::ScopedMachine installed(*machine);
    qvinst::onLoad();
    qvinst::setTraceEnabled(false);

    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = RemoveUsbDevices(nullptr, 0, "");
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());

    if (result != 0) state.SkipWithError("the run found no product device");
    benchmark::DoNotOptimize(result);
  }
  state.counters["keys"] = keys;
  // Seconds per device key, shown in the benchmark's time unit.
  state.counters["per_key"] = benchmark::Counter(
      keys, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(cleanupRun<buildWin98>)
    ->Name("RemoveUsbDevices/win98")
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(cleanupRun<buildWinXp>)
    ->Name("RemoveUsbDevices/winxp")
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A REGEDIT4 image with `values` string values spread evenly over `keys`
// keys.
std::string valuesImage(int values, int keys) {
  std::string image = "REGEDIT4\r\n\r\n";
  const int perKey = values / keys;
  for (int k = 0; k < keys; ++k) {
    image += "[HKEY_LOCAL_MACHINE\\Software\\Values\\" + std::to_string(k) + "]\r\n";
    for (int v = 0; v < perKey; ++v)
      image += "\"Value" + std::to_string(k * perKey + v) + "\"=\"data\"\r\n";
    image += "\r\n";
  }
  return image;
}

double loadSeconds(const std::string& image) {
  sim::Machine machine;
  const auto start = std::chrono::steady_clock::now();
  image::applyRegText(machine.registry, image, "values.reg");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void loadValues(benchmark::State& state) {
  const std::string image = valuesImage(30000, static_cast<int>(state.range(0)));
  for (auto _ : state) state.SetIterationTime(loadSeconds(image));
  state.counters["keys"] = static_cast<double>(state.range(0));
}

BENCHMARK(loadValues)
    ->Name("LoadImage/30000values")
    ->Arg(1)
    ->Arg(3000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Values are indexed per key: 30,000 values in one key must load within
// three times the time of the same values over 3,000 keys (best of five, so
// that a busy machine does not decide it).
bool valuesInOneKeyLoadInLinearTime() {
  const std::string oneKey = valuesImage(30000, 1);
  const std::string spread = valuesImage(30000, 3000);
  double bestOne = 1e9, bestSpread = 1e9;
  for (int i = 0; i < 5; ++i) {
    bestOne = std::min(bestOne, loadSeconds(oneKey));
    bestSpread = std::min(bestSpread, loadSeconds(spread));
  }
  const double ratio = bestOne / bestSpread;
  std::printf("30,000 values: one key %.1f ms, 3,000 keys %.1f ms, ratio %.2f (limit 3)\n",
              bestOne * 1e3, bestSpread * 1e3, ratio);
  return ratio <= 3.0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!valuesInOneKeyLoadInLinearTime()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
