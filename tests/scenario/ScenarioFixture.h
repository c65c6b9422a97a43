// Whole-machine scenarios: the machine under test and an expected machine are
// seeded from the same .reg text, the expected one then loses what the run
// should delete, and the two registries are compared key by key and value by
// value afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "DelKeys.h"
#include "MachineFixture.h"
#include "RegFile.h"
#include "RegistryListing.h"

namespace scenario {

// Applies the body of a REGEDIT4 image (keys, values, "[-KEY]", "name"=-).
inline void applyReg(sim::Registry& registry, std::string_view body, const std::string& origin) {
  image::applyRegText(registry, "REGEDIT4\n\n" + std::string(body), origin);
}

// One line per key and one per value, as a set.
inline std::set<std::string> listing(const sim::Registry& registry) {
  const std::vector<std::string> lines = testing_support::registryLines(registry);
  return std::set<std::string>(lines.begin(), lines.end());
}

// "still there: ..." for what the expected registry no longer holds, "gone:
// ..." for what it still holds; empty when both agree.
inline std::vector<std::string> differences(const sim::Registry& actual,
                                            const sim::Registry& expected) {
  const std::set<std::string> have = listing(actual);
  const std::set<std::string> want = listing(expected);
  std::vector<std::string> out;
  for (const std::string& line : have)
    if (!want.contains(line)) out.push_back("still there: " + line);
  for (const std::string& line : want)
    if (!have.contains(line)) out.push_back("gone: " + line);
  return out;
}

inline std::vector<std::string> readLines(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << file;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace scenario

class ScenarioTest : public MachineTest {
protected:
  void seed(const char* os, std::string_view reg) {
    ASSERT_TRUE(machine.setOs(os)) << os;
    ASSERT_TRUE(expected.setOs(os)) << os;
    scenario::applyReg(machine.registry, reg, "seed");
    scenario::applyReg(expected.registry, reg, "seed");
    machine.configManager.loadFromRegistry();
  }
  // What the run should delete, as "[-KEY]" and "name"=- lines.
  void expectDeleted(std::string_view reg) {
    scenario::applyReg(expected.registry, reg, "expected deletions");
  }
  void expectRegistryAsExpected() {
    EXPECT_EQ(scenario::differences(machine.registry, expected.registry),
              std::vector<std::string>{});
  }
  bool traced(const std::string& line) const {
    return std::find(trace().begin(), trace().end(), line) != trace().end();
  }
  long tracedCount(const std::string& line) const {
    return std::count(trace().begin(), trace().end(), line);
  }
  // The run's key objects go with it, also when an error ends it: none
  // holds a key open afterwards.
  void expectRunStateReleased() {
    EXPECT_EQ(machine.registry.openHandlePaths(), std::vector<std::string>{});
  }

  sim::Machine expected;  // never installed: only its registry is used
};
