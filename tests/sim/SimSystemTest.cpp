#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim/Machine.h"

namespace {

class SimSystemTest : public ::testing::Test {
protected:
  // The administrator test as the library makes it: thread token, else the
  // process token after ERROR_NO_TOKEN, then a walk of the token's groups.
  // Answers the Administrators entry's attributes, or nothing when unlisted.
  std::optional<DWORD> administratorsAttributes() {
    HANDLE token = nullptr;
    if (!sys.OpenThreadToken(sys.GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      if (sys.GetLastError() != DWORD(ERROR_NO_TOKEN)) return std::nullopt;
      if (!sys.OpenProcessToken(sys.GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    EXPECT_TRUE(sys.AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                             DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    DWORD needed = 0;
    EXPECT_FALSE(sys.GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
    EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<SID_AND_ATTRIBUTES> storage(needed / sizeof(SID_AND_ATTRIBUTES) + 1);
    EXPECT_TRUE(sys.GetTokenInformation(token, TokenGroups, storage.data(), needed, &needed));
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(storage.data());
    std::optional<DWORD> found;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i) {
      // Each SID lies inside the buffer that was handed in.
      auto* sid = static_cast<const char*>(groups->Groups[i].Sid);
      EXPECT_GE(sid, reinterpret_cast<const char*>(storage.data()));
      EXPECT_LT(sid, reinterpret_cast<const char*>(storage.data()) + needed);
      if (sys.EqualSid(groups->Groups[i].Sid, admins)) found = groups->Groups[i].Attributes;
    }
    EXPECT_TRUE(sys.CloseHandle(token));
    EXPECT_EQ(sys.FreeSid(admins), nullptr);
    return found;
  }

  sim::Machine machine;
  sim::System& sys = machine.system;
};

TEST_F(SimSystemTest, VersionNamesGiveTheReleasedVersions) {
  struct Case {
    const char* name;
    DWORD major, minor, build, platformId;
  } cases[] = {
      {"win95", 4, 0, 950, VER_PLATFORM_WIN32_WINDOWS},
      {"Win98", 4, 10, 1998, VER_PLATFORM_WIN32_WINDOWS},
      {"winme", 4, 90, 3000, VER_PLATFORM_WIN32_WINDOWS},
      {"nt4", 4, 0, 1381, VER_PLATFORM_WIN32_NT},
      {"win2k", 5, 0, 2195, VER_PLATFORM_WIN32_NT},
      {"WINXP", 5, 1, 2600, VER_PLATFORM_WIN32_NT},
      {"vista", 6, 0, 6002, VER_PLATFORM_WIN32_NT},
      {"win7", 6, 1, 7601, VER_PLATFORM_WIN32_NT},
      {"win10", 10, 0, 19045, VER_PLATFORM_WIN32_NT},
      {"4.90", 4, 90, 0, VER_PLATFORM_WIN32_WINDOWS},
      {"5.2", 5, 2, 0, VER_PLATFORM_WIN32_NT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto version = sim::WindowsVersion::fromName(c.name);
    ASSERT_TRUE(version);
    EXPECT_EQ(
        (std::vector<DWORD>{version->major, version->minor, version->build, version->platformId}),
        (std::vector<DWORD>{c.major, c.minor, c.build, c.platformId}));
  }
  for (const char* bad : {"", "win3", "5.", ".1", "5.x", "winxp2"})
    EXPECT_FALSE(sim::WindowsVersion::fromName(bad)) << bad;
}

TEST_F(SimSystemTest, GetVersionExAChecksTheRecordSize) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_FALSE(sys.GetVersionExA(&info));
  EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(info.dwMajorVersion, 0u);

  info.dwOSVersionInfoSize = 148;
  ASSERT_TRUE(sys.GetVersionExA(&info));  // Windows 98 by default
  EXPECT_EQ(info.dwMajorVersion, 4u);
  EXPECT_EQ(info.dwMinorVersion, 10u);
  EXPECT_EQ(info.dwBuildNumber, 0x040A07CEu);  // 9x: version in the high word
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);

  machine.setOs("winxp");
  ASSERT_TRUE(sys.GetVersionExA(&info));
  EXPECT_EQ(info.dwBuildNumber, 2600u);
  EXPECT_STREQ(info.szCSDVersion, "Service Pack 3");
}

TEST_F(SimSystemTest, AdministratorsAreFoundByWalkingTheGroups) {
  struct Case {
    const char* label;
    std::optional<sim::TokenSetup> thread;
    std::optional<sim::TokenSetup> process;
    std::optional<DWORD> attributes;
  } cases[] = {
      {"process admin", std::nullopt, sim::TokenSetup{}, DWORD(0xF)},
      {"deny-only", std::nullopt, sim::TokenSetup{true, true}, SE_GROUP_USE_FOR_DENY_ONLY},
      {"not listed", std::nullopt, sim::TokenSetup{false, false}, std::nullopt},
      {"thread wins", sim::TokenSetup{false, false}, sim::TokenSetup{}, std::nullopt},
      {"no process token", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sys.setThreadToken(c.thread);
    sys.setProcessToken(c.process);
    auto attributes = administratorsAttributes();
    EXPECT_EQ(attributes, c.attributes);
    EXPECT_EQ(machine.openHandleCount(), 0u);
  }
}

TEST_F(SimSystemTest, TokensFailAsWindowsDoesAndMustBeClosed) {
  HANDLE token = nullptr;
  EXPECT_FALSE(sys.OpenThreadToken(sys.GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_NO_TOKEN));
  sys.setProcessToken(std::nullopt);
  EXPECT_FALSE(sys.OpenProcessToken(sys.GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_ACCESS_DENIED));

  sys.setThreadToken(sim::TokenSetup{});
  ASSERT_TRUE(sys.OpenThreadToken(sys.GetCurrentThread(), 0x0001, TRUE, &token));
  EXPECT_EQ(sys.openTokenCount(), 1u);
  DWORD needed = 0;
  EXPECT_FALSE(sys.GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
  EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_ACCESS_DENIED));  // opened without TOKEN_QUERY
  EXPECT_TRUE(sys.CloseHandle(token));
  EXPECT_FALSE(sys.CloseHandle(token));
  EXPECT_EQ(sys.GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(sys.openTokenCount(), 0u);
}

TEST_F(SimSystemTest, SidsAreRealBytesAndMustBeFreed) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  PSID users = nullptr;
  ASSERT_TRUE(sys.AllocateAndInitializeSid(&nt, 2, 32, 544, 9, 9, 9, 9, 9, 9, &admins));
  ASSERT_TRUE(sys.AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
  const std::uint8_t expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
  EXPECT_EQ(std::memcmp(admins, expected, sizeof expected), 0);
  EXPECT_FALSE(sys.EqualSid(admins, users));
  EXPECT_TRUE(sys.EqualSid(admins, admins));
  EXPECT_FALSE(sys.AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &users));
  EXPECT_EQ(sys.liveSidCount(), 2u);
  EXPECT_EQ(sys.FreeSid(admins), nullptr);
  EXPECT_EQ(sys.FreeSid(admins), admins);  // not twice
  EXPECT_EQ(sys.FreeSid(users), nullptr);
  EXPECT_EQ(sys.liveSidCount(), 0u);
}

TEST_F(SimSystemTest, InjectedFailuresSetTheLastErrorAndAreRecorded) {
  machine.log.failCall("OpenProcessToken", 1314);
  HANDLE token = nullptr;
  EXPECT_FALSE(sys.OpenProcessToken(sys.GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(token, nullptr);
  EXPECT_EQ(sys.openTokenCount(), 0u);
  EXPECT_EQ(sys.GetLastError(), 1314u);
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  machine.log.failCall("GetVersionExA", ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(sys.GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 0u);
  EXPECT_EQ(machine.log.lines(), (std::vector<std::string>{
                                     "GetCurrentProcess -> -1",
                                     "OpenProcessToken TOKEN_QUERY -> 0",
                                     "GetLastError -> 1314",
                                     "GetVersionExA 148 -> 0",
                                 }));
}

TEST_F(SimSystemTest, DebugOutputIsSplitIntoLines) {
  std::vector<std::string> sunk;
  machine.debug.setSink([&sunk](const std::string& line) { sunk.push_back(line); });
  for (const char* piece : {"INST98: initModule\n", "  EU: ", "nVidPids:80\n\nhalf", "", "\n"})
    machine.debug.OutputDebugStringA(piece);
  machine.debug.OutputDebugStringA(nullptr);
  machine.debug.OutputDebugStringA("unfinished");
  const std::vector<std::string> expected{"INST98: initModule", "  EU: nVidPids:80", "", "half"};
  EXPECT_EQ(machine.debug.lines(), expected);
  EXPECT_EQ(sunk, expected);
  EXPECT_TRUE(machine.log.calls().empty());
}

}  // namespace
