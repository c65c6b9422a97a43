// The one road of every simulated call: the table of published calls, the
// fault plan (every call, the Nth, the Nth and later) and what a fault does
// to each call's answer, record and last error.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/Machine.h"

namespace {

constexpr std::uint32_t kCode = 0x4D2;  // no call answers this on its own

// Six calls of RegFlushKey on a root: 0 when they go through, the code when
// made to fail.
std::vector<LONG> sixFlushes(sim::Machine& machine) {
  std::vector<LONG> results;
  for (int i = 0; i < 6; ++i) results.push_back(machine.registry.RegFlushKey(HKEY_LOCAL_MACHINE));
  return results;
}

TEST(CallRecorder, FaultRulesFailTheCallsTheyName) {
  struct Case {
    const char* what;
    std::function<void(sim::CallLog&)> plan;
    std::vector<LONG> expected;
  };
  const LONG f = LONG(kCode);
  const std::vector<Case> cases = {
      {"every call",
       [](sim::CallLog& log) { log.failCall("RegFlushKey", kCode); },
       {f, f, f, f, f, f}},
      {"only the 3rd",
       [](sim::CallLog& log) {
         log.failCall("RegFlushKey", {kCode, 3, false});
       },
       {0, 0, f, 0, 0, 0}},
      {"the 3rd and later",
       [](sim::CallLog& log) {
         log.failCall("RegFlushKey", {kCode, 3, true});
       },
       {0, 0, f, f, f, f}},
      {"after 4 successes",
       [](sim::CallLog& log) { log.failCallAfter("RegFlushKey", kCode, 4); },
       {0, 0, 0, 0, f, f}},
      {"the 1st only",
       [](sim::CallLog& log) {
         log.failCall("RegFlushKey", {kCode, 1, false});
       },
       {f, 0, 0, 0, 0, 0}},
      {"another call",
       [](sim::CallLog& log) { log.failCall("RegCloseKey", kCode); },
       {0, 0, 0, 0, 0, 0}},
      {"a later rule replaces the earlier",
       [](sim::CallLog& log) {
         log.failCall("RegFlushKey", kCode);
         log.failCall("RegFlushKey", {kCode, 2, false});
       },
       {0, f, 0, 0, 0, 0}},
      {"cleared",
       [](sim::CallLog& log) {
         log.failCall("RegFlushKey", kCode);
         log.clearFailures();
       },
       {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Machine machine;
    machine.registry.RegFlushKey(HKEY_LOCAL_MACHINE);  // calls before the rule do not count
    c.plan(machine.log);
    EXPECT_EQ(sixFlushes(machine), c.expected);
    // Failed or not, every call is recorded with its answer.
    const auto& calls = machine.log.calls();
    ASSERT_EQ(calls.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(calls[i + 1].result, c.expected[i]);
  }
}

TEST(CallRecorder, RefusesFaultsForNamesItDoesNotPublish) {
  sim::CallLog log;
  EXPECT_THROW(log.failCall("RegOpenKeyEx", kCode), std::invalid_argument);
  EXPECT_THROW(log.failCall("regopenkeyexa", kCode), std::invalid_argument);
  EXPECT_THROW(log.failCall("OutputDebugStringA", kCode), std::invalid_argument);
  EXPECT_THROW(log.failCall("RegFlushKey", {kCode, 0, false}), std::invalid_argument);
  EXPECT_NO_THROW(log.failCall("FreeSid", kCode));
}

TEST(CallRecorder, NearestNamesPutTheLikelyMeaningFirst) {
  struct Case {
    const char* typed;
    const char* first;
  };
  const std::vector<Case> cases = {{"RegOpenKeyEx", "RegOpenKeyExA"},
                                   {"getlasterror", "GetLastError"},
                                   {"CM_Locate_DevNode", "CM_Locate_DevNodeA"},
                                   {"DeleteFile", "DeleteFileA"},
                                   {"SetupDiRemoveDevices", "SetupDiRemoveDevice"}};
  for (const Case& c : cases) {
    const auto nearest = sim::nearestCalls(c.typed);
    ASSERT_EQ(nearest.size(), 3u) << c.typed;
    EXPECT_EQ(nearest.front(), c.first) << c.typed;
  }
  EXPECT_FALSE(sim::findCall("RegOpenKeyEx"));
  EXPECT_EQ(sim::findCall("RegOpenKeyExA")->name(), "RegOpenKeyExA");
}

// Each published call, made to fail, is recorded under its own name and
// fails: its answer is the code (status calls) or the code is the last
// error. A call added to the table without an entry here fails the test.
TEST(CallRecorder, EveryPublishedCallCanBeMadeToFailUnderItsName) {
  const HANDLE thread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));
  const HANDLE process = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
  using Invoke = std::function<void(sim::Machine&)>;
  const std::map<std::string, Invoke> invokers = {
      {"RegOpenKeyExA",
       [](sim::Machine& m) {
         HKEY key = nullptr;
         m.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
       }},
      {"RegQueryInfoKeyA",
       [](sim::Machine& m) {
         m.registry.RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
      {"RegEnumKeyExA",
       [](sim::Machine& m) {
         char name[16];
         DWORD len = sizeof name;
         m.registry.RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &len, nullptr, nullptr, nullptr,
                                  nullptr);
       }},
      {"RegEnumValueA",
       [](sim::Machine& m) {
         char name[16];
         DWORD len = sizeof name;
         m.registry.RegEnumValueA(HKEY_LOCAL_MACHINE, 0, name, &len, nullptr, nullptr, nullptr,
                                  nullptr);
       }},
      {"RegQueryValueExA",
       [](sim::Machine& m) {
         m.registry.RegQueryValueExA(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, nullptr);
       }},
      {"RegDeleteKeyA", [](sim::Machine& m) { m.registry.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "x"); }},
      {"RegDeleteValueA",
       [](sim::Machine& m) { m.registry.RegDeleteValueA(HKEY_LOCAL_MACHINE, "x"); }},
      {"RegFlushKey", [](sim::Machine& m) { m.registry.RegFlushKey(HKEY_LOCAL_MACHINE); }},
      {"RegCloseKey", [](sim::Machine& m) { m.registry.RegCloseKey(HKEY_LOCAL_MACHINE); }},
      {"GetVersionExA",
       [](sim::Machine& m) {
         OSVERSIONINFOA info{};
         info.dwOSVersionInfoSize = sizeof info;
         m.system.GetVersionExA(&info);
       }},
      {"GetCurrentThread", [](sim::Machine& m) { m.system.GetCurrentThread(); }},
      {"GetCurrentProcess", [](sim::Machine& m) { m.system.GetCurrentProcess(); }},
      {"OpenThreadToken",
       [thread](sim::Machine& m) {
         HANDLE token = nullptr;
         m.system.OpenThreadToken(thread, TOKEN_QUERY, TRUE, &token);
       }},
      {"OpenProcessToken",
       [process](sim::Machine& m) {
         HANDLE token = nullptr;
         m.system.OpenProcessToken(process, TOKEN_QUERY, &token);
       }},
      {"GetLastError", [](sim::Machine& m) { m.system.GetLastError(); }},
      {"AllocateAndInitializeSid",
       [](sim::Machine& m) {
         SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
         PSID sid = nullptr;
         m.system.AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid);
       }},
      {"GetTokenInformation",
       [](sim::Machine& m) {
         DWORD needed = 0;
         m.system.GetTokenInformation(nullptr, TokenGroups, nullptr, 0, &needed);
       }},
      {"EqualSid", [](sim::Machine& m) { m.system.EqualSid(nullptr, nullptr); }},
      {"FreeSid",
       [](sim::Machine& m) {
         static int notASid = 0;
         m.system.FreeSid(&notASid);
       }},
      {"CloseHandle", [](sim::Machine& m) { m.system.CloseHandle(nullptr); }},
      {"SetupDiGetClassDevsA",
       [](sim::Machine& m) {
         m.setupApi.SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES);
       }},
      {"SetupDiEnumDeviceInfo",
       [](sim::Machine& m) {
         SP_DEVINFO_DATA data{};
         data.cbSize = sizeof data;
         m.setupApi.SetupDiEnumDeviceInfo(nullptr, 0, &data);
       }},
      {"SetupDiRemoveDevice",
       [](sim::Machine& m) {
         SP_DEVINFO_DATA data{};
         data.cbSize = sizeof data;
         m.setupApi.SetupDiRemoveDevice(nullptr, &data);
       }},
      {"SetupDiDeleteDeviceInfo",
       [](sim::Machine& m) {
         SP_DEVINFO_DATA data{};
         data.cbSize = sizeof data;
         m.setupApi.SetupDiDeleteDeviceInfo(nullptr, &data);
       }},
      {"SetupDiDestroyDeviceInfoList",
       [](sim::Machine& m) { m.setupApi.SetupDiDestroyDeviceInfoList(nullptr); }},
      {"CM_Locate_DevNodeA",
       [](sim::Machine& m) {
         DEVINST node = 0;
         m.configManager.CM_Locate_DevNodeA(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL);
       }},
      {"CM_Create_DevNodeA",
       [](sim::Machine& m) {
         DEVINST node = 0;
         m.configManager.CM_Create_DevNodeA(&node, "Root\\X\\0000", 1, CM_CREATE_DEVNODE_NORMAL);
       }},
      {"CM_Remove_SubTree", [](sim::Machine& m) { m.configManager.CM_Remove_SubTree(2, 0); }},
      {"GetWindowsDirectoryA",
       [](sim::Machine& m) {
         char dir[MAX_PATH];
         m.files.GetWindowsDirectoryA(dir, sizeof dir);
       }},
      {"FindFirstFileA",
       [](sim::Machine& m) {
         WIN32_FIND_DATAA data;
         m.files.FindFirstFileA("C:\\WINDOWS", &data);
       }},
      {"FindClose", [](sim::Machine& m) { m.files.FindClose(nullptr); }},
      {"FileTimeToLocalFileTime",
       [](sim::Machine& m) {
         FILETIME utc = sim::Files::defaultTime(), local{};
         m.files.FileTimeToLocalFileTime(&utc, &local);
       }},
      {"FileTimeToDosDateTime",
       [](sim::Machine& m) {
         FILETIME time = sim::Files::defaultTime();
         WORD date = 0, clock = 0;
         m.files.FileTimeToDosDateTime(&time, &date, &clock);
       }},
      {"DeleteFileA", [](sim::Machine& m) { m.files.DeleteFileA("C:\\WINDOWS\\x"); }},
      {"MessageDialog",
       [](sim::Machine& m) {
         m.dialogs.showMessageDialog({"Caption", "Text", platform::MessageDialog::Buttons::Ok});
       }},
  };
  EXPECT_EQ(invokers.size(), sim::kCallNames.size());
  for (std::string_view name : sim::kCallNames) {
    SCOPED_TRACE(std::string(name));
    auto invoker = invokers.find(std::string(name));
    ASSERT_NE(invoker, invokers.end()) << "no way to call it here";
    sim::Machine machine;
    machine.log.failCall(name, kCode);
    machine.lastError.set(0);
    invoker->second(machine);
    ASSERT_FALSE(machine.log.calls().empty());
    const sim::Call& last = machine.log.calls().back();
    EXPECT_EQ(last.name, name);
    EXPECT_TRUE(last.result == kCode || machine.lastError.get() == kCode)
        << "answered " << last.result << ", last error " << machine.lastError.get();
    EXPECT_EQ(machine.dialogs.shown().size(), 0u);
    EXPECT_EQ(machine.changes.size(), 0u);
  }
}

}  // namespace
