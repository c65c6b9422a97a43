#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Handles.h"
#include "sim/Machine.h"

namespace {

using platform::UniqueRegKey;

// HKLM
//   Enum
//     USB
//       Vid_1D9F&Pid_2100
//         5&1A2B&0&1    Driver="{36FC9E60}\0003"  Class="HIDClass"
//       VID_0000&PID_0001
class SimRegistryTest : public ::testing::Test {
protected:
  void SetUp() override {
    reg.addKey("HKLM\\Enum\\USB\\VID_0000&PID_0001");
    reg.setString(device + "\\5&1A2B&0&1", "Driver", "{36FC9E60}\\0003");
    reg.setString(device + "\\5&1A2B&0&1", "Class", "HIDClass");
  }

  LONG open(const char* path, REGSAM access, UniqueRegKey& key, HKEY base = HKEY_LOCAL_MACHINE) {
    return reg.RegOpenKeyExA(base, path, 0, access, key.put());
  }

  std::vector<std::string> enumKeys(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD len = sizeof name;
      LONG rc = reg.RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(rc, ERROR_SUCCESS);
      names.emplace_back(name, len);
    }
    return names;
  }

  sim::Machine machine;
  sim::ScopedMachine scoped{machine};
  sim::Registry& reg = machine.registry;
  const std::string device = "HKEY_LOCAL_MACHINE\\Enum\\USB\\Vid_1D9F&Pid_2100";
};

TEST_F(SimRegistryTest, KeysAndValueNamesAreCaseInsensitiveAndKeepTheirCase) {
  UniqueRegKey key;
  ASSERT_EQ(open("enum\\usb\\VID_1D9F&PID_2100\\5&1a2b&0&1", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(reg.storedPath("hklm\\ENUM\\usb\\vid_1d9f&pid_2100"), device);
  ASSERT_EQ(open("ENUM\\Usb", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key.get()),
            (std::vector<std::string>{"VID_0000&PID_0001", "Vid_1D9F&Pid_2100"}));

  reg.setString(device, "driver", "a");
  reg.setString(device, "DRIVER", "b");  // replaces, keeps the first spelling
  ASSERT_EQ(reg.values(device).size(), 1u);
  EXPECT_EQ(reg.values(device)[0].name, "driver");
  ASSERT_EQ(open("Enum\\USB\\Vid_1D9F&Pid_2100", KEY_READ, key), ERROR_SUCCESS);
  char data[8];
  DWORD size = sizeof data;
  DWORD type = 0;
  ASSERT_EQ(reg.RegQueryValueExA(key.get(), "Driver", nullptr, &type, LPBYTE(data), &size), 0);
  EXPECT_EQ(std::string(data, size), std::string("b\0", 2));
  EXPECT_EQ(type, REG_SZ);
}

TEST_F(SimRegistryTest, SubkeysSortUpperCasedAndValuesKeepTheOrderSet) {
  // Upper-cased, '_' (0x5F) sorts after the letters; lower-cased it would not.
  for (const char* name : {"b", "_x", "A1", "c", "a"})
    reg.addKey("HKCU\\Sort\\" + std::string(name));
  for (const char* name : {"zeta", "", "Alpha"}) reg.setDword("HKCU\\Sort", name, 1);
  UniqueRegKey key;
  ASSERT_EQ(open("Sort", KEY_READ, key, HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key.get()), (std::vector<std::string>{"a", "A1", "b", "c", "_x"}));
  EXPECT_EQ(reg.subkeyNames("HKEY_CURRENT_USER\\Sort"),
            (std::vector<std::string>{"a", "A1", "b", "c", "_x"}));
  // The index stays right across deletions and insertions between enumerations.
  ASSERT_EQ(reg.RegDeleteKeyA(key.get(), "B"), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key.get()), (std::vector<std::string>{"a", "A1", "c", "_x"}));
  reg.addKey("HKCU\\Sort\\B2");
  ASSERT_EQ(reg.RegDeleteKeyA(key.get(), "_X"), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key.get()), (std::vector<std::string>{"a", "A1", "B2", "c"}));

  std::vector<std::string> values;
  char name[16];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof name;
    if (reg.RegEnumValueA(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr)) break;
    values.emplace_back(name, len);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"zeta", "", "Alpha"}));
  DWORD size = 0;
  EXPECT_EQ(reg.RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 4u);  // the default value, by a null name
}

TEST_F(SimRegistryTest, OpenReadsPathsAsWindowsDoesAndNeverCreates) {
  struct Case {
    const char* path;
    LONG expected;
  } cases[] = {
      {"Enum\\USB", ERROR_SUCCESS},
      {"Enum\\USB\\", ERROR_SUCCESS},
      {"Enum\\\\USB", ERROR_SUCCESS},
      {"", ERROR_SUCCESS},
      {nullptr, ERROR_SUCCESS},
      {"\\Enum\\USB", ERROR_BAD_PATHNAME},
      {"Enum\\Nothing", ERROR_FILE_NOT_FOUND},
      {"Enum\\Nothing\\Deeper", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path ? c.path : "(null)");
    HKEY key = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.path, 0, KEY_READ, &key), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_FALSE(platform::isPredefinedKey(key));
      EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
  }
  EXPECT_FALSE(reg.keyExists("HKLM\\Enum\\Nothing"));
  EXPECT_EQ(reg.openHandleCount(), 0u);
}

TEST_F(SimRegistryTest, GrantedAccessIsCheckedPerCall) {
  reg.setAllowedAccess(device, KEY_READ);
  reg.setAllowedAccess(device + "\\5&1A2B&0&1", KEY_READ | DELETE);
  UniqueRegKey key;
  EXPECT_EQ(open("Enum\\USB\\Vid_1D9F&Pid_2100", KEY_ALL_ACCESS, key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(open("Enum\\USB\\Vid_1D9F&Pid_2100", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteValueA(key.get(), "x"), ERROR_ACCESS_DENIED);
  // A read-only base may delete a subkey that allows DELETE.
  EXPECT_EQ(reg.RegDeleteKeyA(key.get(), "5&1A2B&0&1"), ERROR_SUCCESS);

  ASSERT_EQ(open("Enum\\USB", KEY_SET_VALUE, key), ERROR_SUCCESS);
  char name[64];
  DWORD len = sizeof name;
  EXPECT_EQ(reg.RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegQueryValueExA(key.get(), "x", nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(open("Enum\\USB", KEY_QUERY_VALUE, key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegEnumKeyExA(key.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  // The device key allows no DELETE.
  EXPECT_EQ(reg.RegDeleteKeyA(key.get(), "Vid_1D9F&Pid_2100"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(reg.keyExists(device));
}

TEST_F(SimRegistryTest, DeleteKeyFollowsTheWindowsFamily) {
  for (bool nt : {true, false}) {
    SCOPED_TRACE(nt ? "NT" : "version 4");
    machine.changes.clear();
    reg.setNtSemantics(nt);
    reg.setString(device + "\\5&1A2B&0&1", "Driver", "{36FC9E60}\\0003");
    EXPECT_EQ(reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1D9F&PID_2100"),
              nt ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    EXPECT_EQ(reg.keyExists(device), nt);
    std::vector<std::string> described;
    for (const sim::Change& change : machine.changes) described.push_back(change.describe());
    if (nt) {
      EXPECT_TRUE(described.empty());
    } else {
      EXPECT_EQ(described, (std::vector<std::string>{
                               "deleted key HKLM\\Enum\\USB\\Vid_1D9F&Pid_2100\\5&1A2B&0&1",
                               "deleted key HKLM\\Enum\\USB\\Vid_1D9F&Pid_2100"}));
      ASSERT_EQ(machine.changes[0].values.size(), 2u);
      EXPECT_EQ(machine.changes[0].values[0].name, "Driver");
      EXPECT_TRUE(machine.changes[1].values.empty());
    }
  }
}

TEST_F(SimRegistryTest, EmptyNameDeletesTheKeyItselfButNeverARoot) {
  UniqueRegKey key;
  ASSERT_EQ(open("Enum\\USB\\VID_0000&PID_0001", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyA(key.get(), ""), ERROR_SUCCESS);
  EXPECT_FALSE(reg.keyExists("HKLM\\Enum\\USB\\VID_0000&PID_0001"));
  EXPECT_EQ(reg.RegDeleteKeyA(key.get(), ""), ERROR_KEY_DELETED);
  EXPECT_EQ(reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\Nothing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistryTest, HandlesAreCountedAndOutliveTheirKeys) {
  HKEY first = nullptr;
  HKEY second = nullptr;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &first), 0);
  ASSERT_EQ(reg.RegOpenKeyExA(first, "USB\\VID_0000&PID_0001", 0, KEY_READ, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(reg.openHandleCount(), 2u);
  EXPECT_EQ(reg.openHandlePaths()[1], "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0000&PID_0001");

  ASSERT_TRUE(reg.removeKey("HKLM\\Enum\\USB"));
  reg.addKey("HKLM\\Enum\\USB\\VID_0000&PID_0001");  // a new key by the same name
  DWORD count = 0;
  EXPECT_EQ(reg.RegQueryInfoKeyA(second, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(reg.RegFlushKey(second), ERROR_KEY_DELETED);
  HKEY third = HKEY_USERS;
  EXPECT_EQ(reg.RegOpenKeyExA(second, "", 0, KEY_READ, &third), ERROR_KEY_DELETED);
  EXPECT_EQ(third, nullptr);
  EXPECT_EQ(reg.RegCloseKey(second), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(second), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegFlushKey(HKEY_CURRENT_CONFIG), ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandleCount(), 1u);
  EXPECT_EQ(reg.RegCloseKey(first), ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandleCount(), 0u);
}

TEST_F(SimRegistryTest, SmallBuffersGetMoreDataAndTheSizeNeeded) {
  UniqueRegKey key;
  ASSERT_EQ(open("Enum\\USB\\Vid_1D9F&Pid_2100\\5&1A2B&0&1", KEY_READ, key), ERROR_SUCCESS);
  DWORD subKeys = 9, maxSub = 9, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(reg.RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr,
                                 &values, &maxName, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ((std::vector<DWORD>{subKeys, maxSub, values, maxName, maxData}),
            (std::vector<DWORD>{0, 0, 2, 6, 16}));  // "Driver"; 15 characters and NUL

  char name[8];
  DWORD nameLen = 6;  // "Driver" needs 7 with its NUL
  DWORD dataLen = 0;
  EXPECT_EQ(reg.RegEnumValueA(key.get(), 0, name, &nameLen, nullptr, nullptr, nullptr, &dataLen),
            ERROR_MORE_DATA);
  nameLen = 7;
  BYTE data[16];
  dataLen = 4;
  EXPECT_EQ(reg.RegEnumValueA(key.get(), 0, name, &nameLen, nullptr, nullptr, data, &dataLen),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataLen, 16u);
  EXPECT_EQ(nameLen, 6u);
  EXPECT_EQ(reg.RegEnumValueA(key.get(), 2, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  dataLen = 0;
  EXPECT_EQ(reg.RegQueryValueExA(key.get(), "Class", nullptr, nullptr, nullptr, &dataLen), 0);
  EXPECT_EQ(dataLen, 9u);
  dataLen = 8;
  EXPECT_EQ(reg.RegQueryValueExA(key.get(), "Class", nullptr, nullptr, data, &dataLen),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataLen, 9u);
  EXPECT_EQ(reg.RegQueryValueExA(key.get(), "Nope", nullptr, nullptr, nullptr, &dataLen),
            ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(open("Enum\\USB", KEY_READ, key), ERROR_SUCCESS);
  nameLen = 17;  // "VID_0000&PID_0001" has 17 characters
  EXPECT_EQ(reg.RegEnumKeyExA(key.get(), 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(nameLen, 17u);
  EXPECT_EQ(reg.RegEnumKeyExA(key.get(), 2, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(SimRegistryTest, CallsAreRecordedAndCanBeMadeToFail) {
  HKEY key = nullptr;
  machine.log.clear();
  machine.log.failCall("RegOpenKeyExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum\\usb", 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.openHandleCount(), 0u);
  machine.log.clearFailures();
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum\\usb", 0, KEY_READ, &key), 0);
  HKEY missing = nullptr;
  EXPECT_EQ(reg.RegOpenKeyExA(key, "Vid_1d9f&pid_2100\\Gone", 0, 0x20006, &missing), 2);
  machine.log.failCall("RegDeleteValueA", 1234);
  EXPECT_EQ(reg.RegDeleteValueA(key, "Driver"), 1234);
  EXPECT_EQ(reg.RegCloseKey(key), 0);
  EXPECT_EQ(machine.log.lines(), (std::vector<std::string>{
                                     "RegOpenKeyExA HKLM\\Enum\\USB KEY_ALL_ACCESS -> 5",
                                     "RegOpenKeyExA HKLM\\Enum\\USB KEY_READ -> 0",
                                     "RegOpenKeyExA HKLM\\Enum\\USB\\Vid_1D9F&Pid_2100\\Gone "
                                     "0x20006 -> 2",
                                     "RegDeleteValueA HKLM\\Enum\\USB|Driver -> 1234",
                                     "RegCloseKey HKLM\\Enum\\USB -> 0",
                                 }));
}

TEST_F(SimRegistryTest, OnlyPlatformDeletionsAndLoggedVerbsEnterTheChanges) {
  reg.removeValue(device + "\\5&1A2B&0&1", "Class");
  reg.removeKey("HKLM\\Enum\\USB\\VID_0000&PID_0001");
  reg.addKey("HKLM\\Software\\Quiet");
  EXPECT_TRUE(machine.changes.empty());

  EXPECT_EQ(reg.RegDeleteValueA(HKEY_LOCAL_MACHINE, "Nothing"), ERROR_FILE_NOT_FOUND);
  UniqueRegKey key;
  ASSERT_EQ(open("Enum\\USB\\Vid_1D9F&Pid_2100\\5&1A2B&0&1", KEY_ALL_ACCESS, key), 0);
  EXPECT_EQ(reg.RegDeleteValueA(key.get(), "DRIVER"), ERROR_SUCCESS);
  ASSERT_EQ(machine.changes.size(), 1u);
  EXPECT_EQ(machine.changes[0].describe(),
            "deleted value HKLM\\Enum\\USB\\Vid_1D9F&Pid_2100\\5&1A2B&0&1|Driver");
  ASSERT_EQ(machine.changes[0].values.size(), 1u);
  EXPECT_EQ(machine.changes[0].values[0].data.size(), 16u);
}

// The cost of this walk (linear, not quadratic, in the number of subkeys) is
// measured by the benchmark program over machines of up to 100,000 keys; here
// the walk must see every key once, in order, while keys go.
TEST_F(SimRegistryTest, EnumeratingAndDeletingAmongManySubkeysSeesEveryKey) {
  constexpr DWORD count = 100000;
  machine.log.setRecording(false);
  for (DWORD i = 0; i < count; ++i) {
    std::string key = "HKLM\\Big\\K" + std::to_string(i);
    reg.addKey(i % 7 == 0 && i < 7000 ? key + "\\Leaf" : key);  // the first loop's keys
  }
  UniqueRegKey big;
  ASSERT_EQ(open("Big", KEY_ALL_ACCESS, big), 0);
  DWORD seen = 0;
  char name[32];
  for (DWORD i = 0;; ++i, ++seen) {
    DWORD len = sizeof name;
    if (reg.RegEnumKeyExA(big.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr)) break;
  }
  EXPECT_EQ(seen, count);
  // Deleting children, with only small keys enumerated in between.
  for (DWORD i = 0; i < 1000; ++i) {
    // Appended, not "K" + ...: GCC 12 at -O3 warns falsely on that form.
    std::string child = "K";
    child += std::to_string(i * 7);
    UniqueRegKey sub;
    ASSERT_EQ(reg.RegOpenKeyExA(big.get(), child.c_str(), 0, KEY_ALL_ACCESS, sub.put()), 0);
    DWORD len = sizeof name;
    ASSERT_EQ(reg.RegEnumKeyExA(sub.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(reg.RegDeleteKeyA(sub.get(), name), 0);
    ASSERT_EQ(reg.RegDeleteKeyA(big.get(), child.c_str()), 0);
  }
  EXPECT_EQ(reg.subkeyNames("HKLM\\Big").size(), count - 1000);
  // The rest from the highest index down, as a recursive deletion goes.
  for (DWORD i = count - 1000; i-- > 0;) {
    DWORD len = sizeof name;
    ASSERT_EQ(reg.RegEnumKeyExA(big.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(reg.RegDeleteKeyA(big.get(), name), 0);
  }
  EXPECT_TRUE(reg.subkeyNames("HKLM\\Big").empty());
}

// Keys with many children find them through an index, kept across deletions
// (which move other entries) and re-creations in another case; siblings
// added out of order still enumerate sorted. A model of each parent's
// children, upper-case name -> stored name, says what must be there.
TEST_F(SimRegistryTest, ManyChildrenAgreeWithAModelThroughAddsAndDeletes) {
  machine.log.setRecording(false);
  const std::vector<std::string> parents = {"HKLM\\Few", "HKLM\\Many", "HKCU\\Many"};
  std::map<std::string, std::map<std::string, std::string>> model;
  std::mt19937 random(20261208);
  auto nameFor = [&](unsigned n) {
    // Short names, and long ones that differ only after their first eight.
    std::string name = (n % 2 ? "Key" : "Device_Key_") + std::to_string(n);
    for (char& c : name)
      if (random() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  auto check = [&] {
    for (const std::string& parent : parents) {
      std::vector<std::string> expected;
      for (const auto& [key, stored] : model[parent]) expected.push_back(stored);
      ASSERT_EQ(reg.subkeyNames(parent), expected) << parent;
      for (const auto& [key, stored] : model[parent]) {
        std::string lower = parent + "\\" + stored;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        ASSERT_TRUE(reg.keyExists(lower)) << lower;
      }
    }
  };
  for (int step = 0; step < 20000; ++step) {
    const std::string& parent = parents[random() % parents.size()];
    const unsigned range = parent == "HKLM\\Few" ? 12 : 600;  // about the index threshold
    const std::string name = nameFor(random() % range);
    auto& children = model[parent];
    if (random() % 3 == 0) {
      const bool there = children.erase(upper(name)) == 1;
      EXPECT_EQ(reg.removeKey(parent + "\\" + name), there) << name;
    } else {
      reg.addKey(parent + "\\" + name);
      children.emplace(upper(name), name);  // the first spelling stays
    }
    if (step % 2000 == 0) check();
  }
  check();
}

TEST_F(SimRegistryTest, KeysBelowListsOneLevelInEnumerationOrder) {
  for (const char* path : {"b\\2\\y", "b\\2\\X", "A\\1\\z", "b\\10", "a\\1\\Deeper\\k"})
    reg.addKey("HKLM\\Tree\\" + std::string(path));
  using Paths = std::vector<std::string>;
  EXPECT_EQ(reg.keysBelow("HKLM\\Tree", 0), Paths{""});
  EXPECT_EQ(reg.keysBelow("HKLM\\tree", 1), (Paths{"A", "b"}));
  EXPECT_EQ(reg.keysBelow("HKLM\\Tree", 2), (Paths{"A\\1", "b\\10", "b\\2"}));
  EXPECT_EQ(reg.keysBelow("HKLM\\Tree", 3),
            (Paths{"A\\1\\Deeper", "A\\1\\z", "b\\2\\X", "b\\2\\y"}));
  EXPECT_EQ(reg.keysBelow("HKLM\\Tree\\B", 1), (Paths{"10", "2"}));
  EXPECT_EQ(reg.keysBelow("HKLM\\Tree", 5), Paths{});
  EXPECT_EQ(reg.keysBelow("HKLM\\NoSuchKey", 1), Paths{});
}

}  // namespace
