// Recursive deletion at depths no real registry reaches, over a stand-in
// registry that holds one chain of keys and counts the calls made on it: the
// deletion must end, must not overflow the stack (20,000 levels overflowed
// it under AddressSanitizer, 50,000 without), and must cost a fixed number of
// platform calls per key.
#include <memory>
#include <string_view>

#include "MachineFixture.h"
#include "WinReg.h"

using namespace qvinst;

namespace {

// HKLM\Top, then `depth` keys named "k", each the only child of the one
// above. Handles are small numbers: the level plus one, times four.
class ChainRegistry : public platform::Registry {
public:
  ChainRegistry(DWORD depth, bool emptyNameAtBottom)
      : present_(depth), emptyNameAtBottom_(emptyNameAtBottom) {}

  DWORD present() const { return present_; }
  long opens = 0, queries = 0, enums = 0, deletes = 0, closes = 0, others = 0;
  long open = 0, badHandles = 0;

  LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) override {
    ++opens;
    const std::string_view sub = subKey;
    DWORD level = 0;
    if (key == HKEY_LOCAL_MACHINE && sub == "Top") {
      level = 0;
    } else if (key != HKEY_LOCAL_MACHINE && sub == "k" && levelOf(key) < present_) {
      level = levelOf(key) + 1;
    } else {
      return ERROR_FILE_NOT_FOUND;
    }
    ++open;
    *result = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(level + 1) * 4);
    return ERROR_SUCCESS;
  }
  LONG RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                        LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, FILETIME*) override {
    ++queries;
    const bool child = levelOf(key) < present_ || emptyNameAtBottom_;
    if (subKeys) *subKeys = child ? 1 : 0;
    if (maxSubKeyLen) *maxSubKeyLen = child ? 1 : 0;
    return ERROR_SUCCESS;
  }
  LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD, LPSTR, LPDWORD,
                     FILETIME*) override {
    ++enums;
    if (index != 0) return ERROR_NO_MORE_ITEMS;
    if (levelOf(key) < present_) {
      name[0] = 'k';
      name[1] = '\0';
      *nameLen = 1;
    } else if (emptyNameAtBottom_) {
      name[0] = '\0';
      *nameLen = 0;
    } else {
      return ERROR_NO_MORE_ITEMS;
    }
    return ERROR_SUCCESS;
  }
  LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override {
    ++deletes;
    if (std::string_view(subKey) != "k" || levelOf(key) + 1 != present_) return ERROR_ACCESS_DENIED;
    --present_;
    return ERROR_SUCCESS;
  }
  LONG RegCloseKey(HKEY key) override {
    ++closes;
    levelOf(key);
    --open;
    return ERROR_SUCCESS;
  }
  LONG RegFlushKey(HKEY) override { return ERROR_SUCCESS; }
  LONG RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override {
    ++others;
    return ERROR_NO_MORE_ITEMS;
  }
  LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override {
    ++others;
    return ERROR_FILE_NOT_FOUND;
  }
  LONG RegDeleteValueA(HKEY, LPCSTR) override {
    ++others;
    return ERROR_FILE_NOT_FOUND;
  }

private:
  DWORD levelOf(HKEY key) {
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(key);
    if (value == 0 || value % 4 != 0) ++badHandles;
    return static_cast<DWORD>(value / 4) - 1;
  }

  DWORD present_;
  bool emptyNameAtBottom_;
};

// Puts a registry in place of the simulated one for the length of a test.
class RegistryInPlace {
public:
  RegistryInPlace(sim::Machine& machine, platform::Registry& registry)
      : platform_(machine.platform()), saved_(platform_) {
    replace(platform::Platform{registry, saved_.system, saved_.debug, saved_.setupApi,
                               saved_.configManager, saved_.files, saved_.dialogs});
  }
  ~RegistryInPlace() { replace(saved_); }
  RegistryInPlace(const RegistryInPlace&) = delete;
  RegistryInPlace& operator=(const RegistryInPlace&) = delete;

private:
  void replace(const platform::Platform& with) {
    std::destroy_at(&platform_);
    std::construct_at(&platform_, with);
  }
  platform::Platform& platform_;
  const platform::Platform saved_;
};

class WinRegDepthTest : public MachineTest {};

TEST_F(WinRegDepthTest, DeepChainsAreDeletedWithAFixedNumberOfCallsPerKey) {
  struct Case {
    DWORD depth;
    bool emptyNameAtBottom;  // the deepest key lists one child with an empty name
  };
  for (const Case& c : {Case{1, false}, Case{1000, false}, Case{100000, false}, Case{3, true}}) {
    SCOPED_TRACE(testing::Message() << c.depth << (c.emptyNameAtBottom ? " empty name" : ""));
    ChainRegistry chain(c.depth, c.emptyNameAtBottom);
    {
      RegistryInPlace inPlace(machine, chain);
      std::unique_ptr<TWinRegistry> top = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Top");
      ASSERT_TRUE(top->isOpen());
      top->eraseSection("k");
      EXPECT_EQ(chain.present(), 0u);
      // Every key opened once, listed once, its child asked for once, closed
      // and deleted once: the open of Top and the empty name add one each.
      const long keys = c.depth;
      EXPECT_EQ(chain.opens, keys + 1);
      EXPECT_EQ(chain.queries, keys);
      EXPECT_EQ(chain.enums, keys - 1 + (c.emptyNameAtBottom ? 1 : 0));
      EXPECT_EQ(chain.deletes, keys);
      EXPECT_EQ(chain.closes, keys);
      EXPECT_EQ(chain.open, 1) << "only Top is still open";
    }
    EXPECT_EQ(chain.open, 0);
    EXPECT_EQ(chain.badHandles, 0);
    EXPECT_EQ(chain.others, 0);
  }
}

}  // namespace
