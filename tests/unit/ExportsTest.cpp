#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Exports.h"
#include "MachineFixture.h"
#include "OsInfo.h"
#include "QVInst98.h"

using namespace qvinst;

using ExportsTest = MachineTest;

namespace {

// The published export list (name and ordinal), shared with the Wine suite's
// check of the built DLL.
std::vector<std::pair<int, std::string>> publishedExports() {
  std::ifstream in(std::string(QVINST98_TESTDATA_DIR) + "/../wine/exports.txt");
  EXPECT_TRUE(in) << "cannot read the published export list";
  std::vector<std::pair<int, std::string>> out;
  int ordinal = 0;
  std::string name;
  while (in >> ordinal >> name) out.emplace_back(ordinal, name);
  return out;
}

// Every published name sits at its ordinal and reaches the function of that
// name: its first trace line says which one ran.
TEST_F(ExportsTest, TableMatchesThePublishedExportsAndReachesEachFunction) {
  const std::map<std::string, std::string> entryLine = {
      {"UninstInitialize", "QVINST98: UninstInitialize"},
      {"UninstUnInitialize", "QVINST98: UninstUnInitialize"},
      {"CreateRootDevice", "INST98: createRootDevice - targetDir:x"},
      {"UpdateDevices", "INST98: updateDevices - targetDir:x"},
      {"RemoveRootDevice", "INST98: removeRootDevice"},
      {"RemoveUsbDevices", "INST2K: removeUsbDevices"},
      {"RemovePedalDevices", "INST2K: removeUsbDevices"},
      {"RemoveAuxDevices", "INST98: removeAuxDevices"},
      {"IsWin2k", "INST98: isWin2k"},
      {"IsWinMe", "INST98: isWinMe"},
      {"IsWinXp", "INST98: isWinXp"},
      {"IsAdmin", "INST98: isAdmin"},
      {"NeedReboot", "INST98: needReboot"},
      {"InitModule", "INST98: initModule"},
      {"SetTargetDir", "INST98: setTargetDir"},
      {"RootDeviceCount", "INST98: RootDeviceCount"},
  };
  const std::set<std::string> singleLine = {"UpdateDevices", "IsWin2k",     "IsWinMe",
                                            "IsWinXp",       "IsAdmin",     "NeedReboot",
                                            "InitModule",    "SetTargetDir"};
  const auto published = publishedExports();
  ASSERT_EQ(published.size(), 16u);
  for (std::size_t i = 0; i < published.size(); ++i) {
    const auto& [ordinal, name] = published[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(exportTable[i].ordinal, ordinal);
    EXPECT_EQ(exportTable[i].name, name);
    ASSERT_NE(exportTable[i].fn, nullptr);
    machine.debug.clear();
    exportTable[i].fn(nullptr, 0, "x");
    ASSERT_FALSE(trace().empty());
    EXPECT_EQ(trace().front(), entryLine.at(name));
    // The frame's own answers write their entry line alone.
    if (singleLine.contains(name)) {
      EXPECT_EQ(trace().size(), 1u);
    }
  }
}

TEST_F(ExportsTest, ConstantAnswersOnEverySystemAndForEveryUser) {
  const std::pair<ExportFn, std::int32_t> answers[] = {
      {InitModule, 1}, {IsWin2k, 0}, {IsWinXp, 0}, {IsAdmin, 1}, {NeedReboot, 0}};
  for (const char* os : {"win98", "winme", "win2k", "winxp", "win7"}) {
    SCOPED_TRACE(os);
    onLoad();
    machine.setOs(os);
    machine.system.setProcessToken(sim::TokenSetup{false, false});
    for (const auto& [fn, answer] : answers) {
      // Whatever the arguments.
      EXPECT_EQ(fn(nullptr, 12345, nullptr), answer);
      EXPECT_EQ(fn(reinterpret_cast<HWND>(1), -1, ""), answer);
    }
  }
}

TEST_F(ExportsTest, IsWinMeAnswersFromTheQueryOnly) {
  machine.setOs("winme");
  EXPECT_EQ(IsWinMe(nullptr, 0, ""), 0);
  EXPECT_EQ(InitModule(nullptr, 0, ""), 1);
  EXPECT_EQ(IsWinMe(nullptr, 0, ""), 1);
  EXPECT_EQ(trace(),
            (std::vector<std::string>{"INST98: isWinMe", "INST98: initModule", "INST98: isWinMe"}));
}

TEST_F(ExportsTest, InitModuleTwiceQueriesOnceAndEmptiesTargetDirBothTimes) {
  machine.log.failCall("GetVersionExA", ERROR_INVALID_PARAMETER);
  SetTargetDir(nullptr, 0, "C:\\First");
  EXPECT_EQ(InitModule(nullptr, 0, ""), 0);
  EXPECT_EQ(targetDir, "");
  SetTargetDir(nullptr, 0, "C:\\Second");
  EXPECT_EQ(InitModule(nullptr, 0, ""), 1);
  EXPECT_EQ(targetDir, "");
  EXPECT_EQ(calls("GetVersionExA").size(), 1u);
}

TEST_F(ExportsTest, TextArgumentsAreStoredUpTo255Characters) {
  const std::string text300(300, 'd');
  EXPECT_EQ(SetTargetDir(nullptr, 0, text300.c_str()), 0);
  EXPECT_EQ(targetDir, text300.substr(0, 255));
  EXPECT_EQ(SetTargetDir(nullptr, 0, ""), 0);
  EXPECT_EQ(targetDir, "");
  EXPECT_EQ(SetTargetDir(nullptr, 0, nullptr), 0);  // a null pointer reads as empty
  EXPECT_EQ(targetDir, "");
  EXPECT_EQ(UpdateDevices(nullptr, 0, nullptr), 1);
  EXPECT_EQ(UpdateDevices(nullptr, 0, "C:\\Program Files\\QV"), 1);
  EXPECT_EQ(targetDir, "C:\\Program Files\\QV");
  EXPECT_EQ(trace().back(), "INST98: updateDevices - targetDir:C:\\Program Files\\QV");
  // UpdateDevices touches nothing else.
  EXPECT_TRUE(machine.changes.empty());
  EXPECT_EQ(calls("GetVersionExA").size(), 0u);
}

}  // namespace
