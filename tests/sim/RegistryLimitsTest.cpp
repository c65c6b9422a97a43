// The simulated registry at its edges: names holding NUL bytes, keys with
// many values, and trees far deeper than Windows allows, which must still be
// freed, deleted, walked and written without recursion.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Handles.h"
#include "RegFile.h"
#include "sim/Machine.h"
#include "sim/SimText.h"

namespace {

using namespace std::string_literals;
using platform::UniqueRegKey;

// Runs `work` on a thread with a small stack, where a walk that recurses
// once per key level overflows long before the depths used here.
void onSmallStack(const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

std::string deepPath(const std::string& top, std::size_t levels) {
  std::string path = top;
  path.reserve(top.size() + 2 * levels);
  for (std::size_t i = 0; i < levels; ++i) path += "\\k";
  return path;
}

class RegistryLimitsTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::ScopedMachine installed{machine};
  sim::Registry& reg = machine.registry;
};

// A registry written with the native API can hold names with NUL bytes. The
// enumerations report such a name whole, with its full length, so that a
// caller can tell it from the text before the NUL; an ANSI path stops at
// the NUL and reaches another key.
TEST_F(RegistryLimitsTest, NamesWithNulAreHeldAndReportedWithTheirFullLength) {
  const std::string usb = "HKLM\\Enum\\USB";
  const std::string keyName = "VID_045E&PID_0040\0VID_1D9F&PID_2100"s;
  const std::string valueName = "QV\0Other"s;
  reg.addKey(usb + "\\" + keyName);
  reg.addKey(usb + "\\VID_045E&PID_0040");
  reg.setString(usb, valueName, "x");
  reg.setString(usb, "QV", "y");
  ASSERT_EQ(reg.subkeyNames(usb).size(), 2u);

  UniqueRegKey key;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  DWORD maxSubKey = 0, maxValueName = 0;
  ASSERT_EQ(reg.RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, &maxSubKey, nullptr,
                                 nullptr, &maxValueName, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxSubKey, keyName.size());
  EXPECT_EQ(maxValueName, valueName.size());

  // Sorted, the plain name comes first; the NUL name second, whole.
  char name[256];
  DWORD len = sizeof name;
  ASSERT_EQ(reg.RegEnumKeyExA(key.get(), 1, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(len, keyName.size());
  EXPECT_EQ(std::string(name, len), keyName);
  EXPECT_EQ(std::strlen(name), 17u);
  // The buffer must hold the whole name and its NUL, not just the text.
  len = DWORD(keyName.size());
  EXPECT_EQ(reg.RegEnumKeyExA(key.get(), 1, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  len = sizeof name;
  ASSERT_EQ(reg.RegEnumValueA(key.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, len), valueName);
  len = DWORD(valueName.size());
  EXPECT_EQ(reg.RegEnumValueA(key.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  // Through its text the ANSI functions reach the other maker's key and value.
  char data[8];
  DWORD size = sizeof data;
  ASSERT_EQ(reg.RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr,
                                 reinterpret_cast<LPBYTE>(data), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(data, "y");
  EXPECT_TRUE(reg.keyExists(usb + "\\" + keyName));
}

// Values are found by name through an index; deleting one must keep the
// index right for the values after it, and setting one again keeps its place.
TEST_F(RegistryLimitsTest, ValueIndexStaysRightThroughUpdatesAndDeletions) {
  const std::string key = "HKLM\\Software\\Many";
  constexpr int kCount = 2000;
  for (int i = 0; i < kCount; ++i) {
    std::string name = "v";  // appended: GCC 12 at -O3 warns falsely on "v" + string
    name += std::to_string(i);
    reg.setDword(key, name, DWORD(i));
  }
  reg.setString(key, "V10", "again");  // replaces v10, in place
  struct Step {
    const char* remove;
    int removedIndex;
  };
  for (const Step& step : {Step{"v0", 0}, Step{"V500", 499}, Step{"v1999", 1997}}) {
    SCOPED_TRACE(step.remove);
    ASSERT_TRUE(reg.removeValue(key, step.remove));
    EXPECT_FALSE(reg.value(key, step.remove));
    EXPECT_FALSE(reg.removeValue(key, step.remove));
  }
  const std::vector<sim::Value> values = reg.values(key);
  ASSERT_EQ(values.size(), std::size_t(kCount - 3));
  EXPECT_EQ(values[0].name, "v1");
  EXPECT_EQ(values[9].name, "v10");
  EXPECT_EQ(values[9].type, DWORD(REG_SZ));
  // Every remaining value is found under its name in any case, with its own data.
  for (std::size_t i = 0; i < values.size(); ++i) {
    auto found = reg.value(key, sim::text::upper(values[i].name));
    ASSERT_TRUE(found) << values[i].name;
    EXPECT_EQ(found->name, values[i].name);
    EXPECT_EQ(found->data, values[i].data);
  }
  // Deleted through the API, the change log keeps the stored name.
  UniqueRegKey handle;
  ASSERT_EQ(
      reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Many", 0, KEY_ALL_ACCESS, handle.put()),
      ERROR_SUCCESS);
  ASSERT_EQ(reg.RegDeleteValueA(handle.get(), "V1234"), ERROR_SUCCESS);
  ASSERT_EQ(machine.changes.size(), 1u);
  EXPECT_EQ(machine.changes[0].valueName, "v1234");
  EXPECT_FALSE(reg.value(key, "v1234"));
  EXPECT_TRUE(reg.value(key, "v1235"));
}

// Far deeper than any real registry: freed when removed or with the machine,
// and cleared, all without a recursion per level.
TEST(RegistryDepth, HundredThousandLevelsAreFreedWithoutRecursion) {
  constexpr std::size_t kLevels = 100000;
  onSmallStack([] {
    for (int how = 0; how < 3; ++how) {
      SCOPED_TRACE(how);
      auto machine = std::make_unique<sim::Machine>();
      machine->registry.addKey(deepPath("HKLM\\Software\\Deep", kLevels));
      machine->registry.addKey("HKLM\\Software\\Other");
      if (how == 0) {
        EXPECT_TRUE(machine->registry.removeKey("HKLM\\Software\\Deep"));
      }
      if (how == 1) machine->registry.clear();
      EXPECT_EQ(machine->registry.keyExists("HKLM\\Software\\Other"), how != 1);
      machine.reset();  // how == 2: the whole tree goes with the machine
    }
  });
}

// A handle on a deep key keeps it (and what is below it) alive after its
// tree is removed; the key then names its old path and answers "deleted".
TEST(RegistryDepth, AHandleOnADeletedDeepKeyStillNamesIt) {
  onSmallStack([] {
    sim::Machine machine;
    sim::ScopedMachine installed{machine};
    const std::string path = deepPath("HKLM\\Software\\Deep", 3000);
    machine.registry.addKey(path + "\\below");
    UniqueRegKey key;
    ASSERT_EQ(machine.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.substr(5).c_str(), 0,
                                             KEY_READ, key.put()),
              ERROR_SUCCESS);
    EXPECT_TRUE(machine.registry.removeKey("HKLM\\Software\\Deep"));
    EXPECT_EQ(machine.registry.RegFlushKey(key.get()), ERROR_KEY_DELETED);
    EXPECT_EQ(machine.log.calls().back().args, path);
  });
}

// The version-4 family deletes a whole deep tree in one call; the change log
// gets every key, children first; the walk, the .reg writer and the reader's
// refusal of what lies past 512 levels all hold on a small stack.
TEST(RegistryDepth, DeepTreesAreDeletedWalkedAndWrittenWithoutRecursion) {
  constexpr std::size_t kLevels = 4000;
  onSmallStack([] {
    sim::Machine machine;
    sim::ScopedMachine installed{machine};
    machine.setOs("win98");
    const std::string top = "HKLM\\Software\\Deep";
    machine.registry.addKey(deepPath(top, kLevels));
    machine.registry.setString(deepPath(top, kLevels), "last", "x");

    std::size_t keys = 0;
    std::size_t longest = 0;
    machine.registry.forEachKey([&](const sim::KeySnapshot& key) {
      ++keys;
      longest = std::max(longest, key.path.size());
    });
    EXPECT_EQ(keys, kLevels + 2);  // Software, Deep and the levels below
    EXPECT_EQ(longest, deepPath("HKEY_LOCAL_MACHINE\\Software\\Deep", kLevels).size());

    const std::string image = image::writeRegText(machine.registry);
    std::string lastKey = "[";  // appended: GCC 12 at -O3 warns falsely on "[" + string
    lastKey += deepPath("HKEY_LOCAL_MACHINE\\Software\\Deep", kLevels);
    lastKey += "]\r\n\"last\"=\"x\"\r\n";
    EXPECT_NE(image.find(lastKey), std::string::npos);
    sim::Machine copy;
    try {
      image::applyRegText(copy.registry, image, "deep.reg");
      ADD_FAILURE() << "a key deeper than 512 levels was read";
    } catch (const image::Error& error) {
      // A header and a blank line, then a key line and a blank line per key
      // (Software is level 1): the key at level L is on line 1 + 2L.
      const std::string where = "deep.reg:" + std::to_string(1 + 2 * 513) + ": ";
      EXPECT_EQ(std::string(error.what()).substr(0, where.size()), where) << error.what();
    }
    EXPECT_FALSE(copy.registry.keyExists(top));

    UniqueRegKey software;
    ASSERT_EQ(machine.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS,
                                             software.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(machine.registry.RegDeleteKeyA(software.get(), "Deep"), ERROR_SUCCESS);
    EXPECT_FALSE(machine.registry.keyExists(top));
    ASSERT_EQ(machine.changes.size(), kLevels + 1);
    EXPECT_EQ(machine.changes.front().path,
              deepPath("HKEY_LOCAL_MACHINE\\Software\\Deep", kLevels));
    EXPECT_EQ(machine.changes.front().values.size(), 1u);
    EXPECT_EQ(machine.changes.back().path, "HKEY_LOCAL_MACHINE\\Software\\Deep");
  });
}

}  // namespace
