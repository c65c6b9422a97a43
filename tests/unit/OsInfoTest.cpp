#include "MachineFixture.h"
#include "OsInfo.h"

using namespace qvinst;

using OsInfoTest = MachineTest;

TEST_F(OsInfoTest, VersionFamiliesAndAdministratorAnswer) {
  struct Case {
    const char* os;
    bool win9x, winMe, winNT5;
    bool tokenTested;
  };
  const Case cases[] = {
      {"win95", true, false, false, false}, {"win98", true, false, false, false},
      {"winme", true, true, false, false},  {"nt4", true, false, false, false},
      {"win2k", false, false, true, true},  {"winxp", false, false, true, true},
      {"vista", false, false, false, true}, {"win10", false, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.os);
    onLoad();
    machine.log.clear();
    ASSERT_TRUE(machine.setOs(c.os));
    // No administrator in the token: only a token test can say no.
    machine.system.setProcessToken(sim::TokenSetup{false, false});
    EXPECT_TRUE(osQueryInfo());
    EXPECT_EQ(osIsWin9x(), c.win9x);
    EXPECT_EQ(osIsWinMe(), c.winMe);
    EXPECT_EQ(osIsWinNT5(), c.winNT5);
    EXPECT_EQ(osIsAdmin(), !c.tokenTested);
    const auto names = callNames();
    const bool opened = std::find(names.begin(), names.end(), "OpenThreadToken") != names.end();
    EXPECT_EQ(opened, c.tokenTested);
  }
}

TEST_F(OsInfoTest, PredicatesAnswerFalseBeforeTheFirstQuery) {
  machine.setOs("winme");
  EXPECT_FALSE(osIsWin9x());
  EXPECT_FALSE(osIsWinMe());
  EXPECT_FALSE(osIsAdmin());
  EXPECT_TRUE(callNames().empty());
}

TEST_F(OsInfoTest, QueriesOnlyOnceEvenAfterAFailure) {
  machine.setOs("winxp");
  machine.log.failCall("GetVersionExA", ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(osQueryInfo());
  EXPECT_FALSE(osIsWinNT5());  // version fields stay zero
  EXPECT_TRUE(osIsAdmin());    // the token test still ran
  machine.log.clearFailures();
  machine.log.clear();
  EXPECT_TRUE(osQueryInfo());
  EXPECT_FALSE(osIsWinNT5());
  EXPECT_TRUE(callNames().empty());
}

TEST_F(OsInfoTest, TokenTestCallSequenceAndCleanupOrder) {
  machine.setOs("winxp");
  EXPECT_TRUE(osCheckAdmin());
  const std::vector<std::string> expected = {"GetCurrentThread",
                                             "OpenThreadToken",
                                             "GetLastError",
                                             "GetCurrentProcess",
                                             "OpenProcessToken",
                                             "AllocateAndInitializeSid",
                                             "GetTokenInformation",
                                             "GetTokenInformation",
                                             "EqualSid",
                                             "EqualSid",
                                             "EqualSid",
                                             "CloseHandle",
                                             "FreeSid"};
  auto names = callNames();
  // EqualSid runs once per group until the Administrators group is met.
  names.erase(std::remove(names.begin(), names.end(), "EqualSid"), names.end());
  auto expectedNoEqual = expected;
  expectedNoEqual.erase(std::remove(expectedNoEqual.begin(), expectedNoEqual.end(), "EqualSid"),
                        expectedNoEqual.end());
  EXPECT_EQ(names, expectedNoEqual);
}

TEST_F(OsInfoTest, ThreadTokenOfAnImpersonatingThreadIsTestedNotTheProcessToken) {
  machine.setOs("winxp");
  machine.system.setProcessToken(sim::TokenSetup{true, false});
  machine.system.setThreadToken(sim::TokenSetup{false, false});
  EXPECT_FALSE(osCheckAdmin());
  const auto names = callNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "OpenProcessToken"), 0);

  machine.system.setProcessToken(sim::TokenSetup{false, false});
  machine.system.setThreadToken(sim::TokenSetup{true, false});
  EXPECT_TRUE(osCheckAdmin());
}

TEST_F(OsInfoTest, DenyOnlyMembershipStillCounts) {
  machine.setOs("win2k");
  machine.system.setProcessToken(sim::TokenSetup{true, true});
  EXPECT_TRUE(osCheckAdmin());
}

TEST_F(OsInfoTest, AnyFailureOnTheWayAnswersNoAndFreesEverything) {
  machine.setOs("winxp");
  struct Case {
    const char* call;
    DWORD code;
  };
  // OpenThreadToken failing with another error than ERROR_NO_TOKEN must not
  // fall back to the process token.
  const Case cases[] = {{"OpenThreadToken", ERROR_ACCESS_DENIED},
                        {"OpenProcessToken", ERROR_ACCESS_DENIED},
                        {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY},
                        {"GetTokenInformation", ERROR_ACCESS_DENIED},
                        {"EqualSid", ERROR_INVALID_PARAMETER}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    machine.log.clearFailures();
    machine.log.clear();
    machine.log.failCall(c.call, c.code);
    EXPECT_FALSE(osCheckAdmin());
    EXPECT_EQ(machine.system.openTokenCount(), 0u);
    EXPECT_EQ(machine.system.liveSidCount(), 0u);
  }
  machine.log.clearFailures();
  machine.log.clear();
  machine.log.failCall("OpenThreadToken", ERROR_ACCESS_DENIED);
  osCheckAdmin();
  const auto names = callNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "OpenProcessToken"), 0);
}
