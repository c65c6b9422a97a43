#include "Exports.h"
#include "MachineFixture.h"
#include "OsInfo.h"
#include "QVInst98.h"

using namespace qvinst;

using ExportsTest = MachineTest;

TEST_F(ExportsTest, TableHasSixteenExportsWithOrdinalsOneToSixteen) {
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(exportTable[i].ordinal, i + 1);
    EXPECT_NE(exportTable[i].fn, nullptr);
  }
  EXPECT_STREQ(exportTable[0].name, "UninstInitialize");
  EXPECT_STREQ(exportTable[13].name, "InitModule");
  EXPECT_STREQ(exportTable[15].name, "RootDeviceCount");
}

TEST_F(ExportsTest, ConstantAnswersOnEverySystemAndForEveryUser) {
  for (const char* os : {"win98", "winme", "win2k", "winxp", "win7"}) {
    SCOPED_TRACE(os);
    onLoad();
    machine.setOs(os);
    machine.system.setProcessToken(sim::TokenSetup{false, false});
    EXPECT_EQ(InitModule(nullptr, 0, ""), 1);
    EXPECT_EQ(IsWin2k(nullptr, 12345, nullptr), 0);
    EXPECT_EQ(IsWinXp(nullptr, -1, ""), 0);
    EXPECT_EQ(IsAdmin(nullptr, 0, ""), 1);
    EXPECT_EQ(NeedReboot(nullptr, 0, ""), 0);
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

TEST_F(ExportsTest, EntryTraceLines) {
  SetTargetDir(nullptr, 0, "x");
  IsWin2k(nullptr, 0, "");
  IsWinXp(nullptr, 0, "");
  IsAdmin(nullptr, 0, "");
  NeedReboot(nullptr, 0, "");
  EXPECT_EQ(trace(),
            (std::vector<std::string>{"INST98: setTargetDir", "INST98: isWin2k", "INST98: isWinXp",
                                      "INST98: isAdmin", "INST98: needReboot"}));
}
