// Every platform call of every export, made to fail in turn, on each sample
// machine and road. A run with one failed call may do less than the clean
// run, never more: it deletes nothing the clean run does not delete, returns
// a result (nothing unwinds out of an export) and leaves no handle open.
//
// By default each call site fails once with ERROR_ACCESS_DENIED (a
// CONFIGRET failure for the Configuration Manager). QVINST98_FAULT_SWEEP=full
// also tries other codes and failing from the Nth call on:
//   QVINST98_FAULT_SWEEP=full build/asan/tests/qvinst98_tests --gtest_filter='FaultSweep*'
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Exports.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"

namespace {

struct Road {
  const char* machine;  // a bundled sample machine
  const char* os;
};

constexpr Road kRoads[] = {{"win98", "win98"}, {"win98-setup", "win98"}, {"winxp", "winxp"}};

constexpr const char* kTargetDir = "C:\\Program Files\\QV";

struct Outcome {
  std::vector<sim::Call> calls;
  std::set<std::string> changes;
  std::size_t openHandles = 0;
  std::int32_t result = 0;
};

std::unique_ptr<sim::Machine> buildMachine(const Road& road) {
  auto machine = std::make_unique<sim::Machine>();
  machine->setOs(road.os);
  image::loadRegFile(machine->registry,
                     std::string(QVINST98_MACHINES_DIR) + "/" + road.machine + ".reg");
  machine->files.setWindowsDirectory("C:\\WINDOWS");
  machine->files.addFile("C:\\WINDOWS\\inf\\drvdata.bin");
  machine->files.addFile("C:\\WINDOWS\\inf\\drvidx.bin");
  machine->configManager.loadFromRegistry();
  return machine;
}

// One load of the library and one call of the export, with an optional fault.
Outcome runOnce(const Road& road, const qvinst::ExportEntry& entry, std::string_view failName = {},
                const sim::FaultRule& rule = {}) {
  auto machine = buildMachine(road);
  if (!failName.empty()) machine->log.failCall(failName, rule);
  Outcome outcome;
  {
    sim::ScopedMachine installed(*machine);
    qvinst::onLoad();
    outcome.result = entry.fn(/*wnd=*/nullptr, /*unused=*/0, kTargetDir);
  }
  outcome.calls = machine->log.calls();
  for (const sim::Change& change : machine->changes) outcome.changes.insert(change.describe());
  outcome.openHandles = machine->openHandleCount();  // registry keys included
  return outcome;
}

std::uint32_t failureCode(std::string_view call, int variant) {
  if (call.starts_with("CM_"))
    return variant == 0 ? 0x13 /*CR_FAILURE*/ : 0x0D /*CR_NO_SUCH_DEVNODE*/;
  static constexpr std::uint32_t codes[] = {5 /*ERROR_ACCESS_DENIED*/, 2 /*ERROR_FILE_NOT_FOUND*/,
                                            8 /*ERROR_NOT_ENOUGH_MEMORY*/,
                                            87 /*ERROR_INVALID_PARAMETER*/};
  return codes[variant % 4];
}

// A close that is made to fail leaves its one handle open: that is the
// fault itself, not a leak.
bool closesAHandle(std::string_view call) {
  return call == "CloseHandle" || call == "RegCloseKey" || call == "FindClose" ||
         call == "SetupDiDestroyDeviceInfoList" || call == "FreeSid";
}

bool fullSweep() {
  const char* mode = std::getenv("QVINST98_FAULT_SWEEP");
  return mode != nullptr && std::string_view(mode) == "full";
}

class FaultSweep : public ::testing::TestWithParam<Road> {};

TEST_P(FaultSweep, EveryFailedCallDoesLessNeverMore) {
  const Road road = GetParam();
  const int variants = fullSweep() ? 4 : 1;
  std::size_t runs = 0;
  for (const qvinst::ExportEntry& entry : qvinst::exportTable) {
    SCOPED_TRACE(entry.name);
    const Outcome clean = runOnce(road, entry);
    ASSERT_EQ(clean.openHandles, 0u);
    std::map<std::string, std::uint64_t> seen;
    for (const sim::Call& call : clean.calls) {
      const std::uint64_t nth = ++seen[call.name];
      for (int variant = 0; variant < variants; ++variant) {
        for (bool andLater : {false, true}) {
          if (andLater && !fullSweep()) continue;
          const sim::FaultRule rule{failureCode(call.name, variant), nth, andLater};
          const Outcome faulted = runOnce(road, entry, call.name, rule);
          ++runs;
          SCOPED_TRACE(call.name + " call " + std::to_string(nth) + " fails with " +
                       std::to_string(rule.code) + (andLater ? " and later" : ""));
          const std::size_t mayStayOpen = closesAHandle(call.name) ? (andLater ? 1000 : 1) : 0;
          EXPECT_LE(faulted.openHandles, mayStayOpen);
          for (const std::string& change : faulted.changes) {
            EXPECT_TRUE(clean.changes.contains(change)) << "beyond the clean run: " << change;
          }
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
  }
  std::printf("[ sweep    ] %s on %s: %zu faulted runs\n", road.machine, road.os, runs);
}

INSTANTIATE_TEST_SUITE_P(SampleMachines, FaultSweep, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<Road>& info) {
                           std::string name = std::string(info.param.machine) + "_" + info.param.os;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
