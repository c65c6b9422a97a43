// A fresh simulated machine for every test, installed as the library's
// platform, with the library freshly "loaded" and tracing on. Every test
// ends by proving that no handle of any kind was left open.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exports.h"
#include "Machine.h"
#include "Tracers.h"

class MachineTest : public ::testing::Test {
protected:
  void SetUp() override {
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
  }
  void TearDown() override {
    EXPECT_EQ(machine.registry.openHandleCount(), 0u) << "registry handles left open";
    EXPECT_EQ(machine.openHandleCount(), 0u) << "platform handles left open";
  }

  const std::vector<std::string>& trace() const { return machine.debug.lines(); }
  std::vector<std::string> callNames() const { return machine.log.names(); }
  // The recorded calls of one name, as "args -> result".
  std::vector<std::string> calls(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& call : machine.log.calls()) {
      if (call.name == name) out.push_back(call.args + " -> " + std::to_string(call.result));
    }
    return out;
  }

  sim::Machine machine;
  sim::ScopedMachine installed{machine};
};
