// The uninstaller's two callbacks over whole machines: the unplug question,
// and the cleanup after the product's files are gone.
#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Exports.h"
#include "MachineFixture.h"
#include "RegFile.h"

namespace {

constexpr const char* rootInstance = "Root\\*QV_TILLERDESK\\0000";
constexpr const char* rootKey = "HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000";
constexpr const char* drvData = "C:\\WINDOWS\\inf\\drvdata.bin";
constexpr const char* drvIdx = "C:\\WINDOWS\\inf\\drvidx.bin";

const char* unplugText =
    "Before uninstalling the Tillerdesk, it is highly recommended that you unplug all QV USB "
    "devices to ensure that all drivers, etc. are properly removed. If there are QV USB devices "
    "currently connected click \"No\", unplug the devices, and restart the uninstall. Have all the "
    "devices been unpluged?";
const char* restartText =
    "Removal of the Tillerdesk software is complete. To finish the uninstall and unload the "
    "drivers from memory it is necessary to restart Windows. It is highly recommended that you "
    "RESTART WINDOWS as soon as possible after this program exits.";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class UninstallTest : public MachineTest {
protected:
  void loadWin98() {
    image::loadRegFile(machine.registry, QVINST98_MACHINES_DIR "/win98.reg");
    machine.configManager.loadFromRegistry();
  }
  void addDriverDatabase() {
    machine.files.addFile(drvData);
    machine.files.addFile(drvIdx);
  }
  // The restart advice closes every UninstUnInitialize, whatever happened.
  void expectRestartAdviceShown() {
    ASSERT_FALSE(machine.dialogs.shown().empty());
    const auto& last = machine.dialogs.shown().back().dialog;
    EXPECT_EQ(last.caption, "Information");
    EXPECT_EQ(last.text, restartText);
    EXPECT_EQ(last.buttons, platform::MessageDialog::Buttons::Ok);
  }
};

TEST_F(UninstallTest, InitializeGoesOnOnlyOnYes) {
  struct Case {
    sim::Dialogs::Answer answer;
    std::int32_t result;
    const char* answerLine;
    const char* resultLine;
  };
  const Case cases[] = {
      {sim::Dialogs::Answer::Yes, 0, "  I98: Test Message returned:6", "  I98: Returning 0"},
      {sim::Dialogs::Answer::No, -1, "  I98: Test Message returned:7", "  I98: Returning -1"},
      {sim::Dialogs::Answer::Esc, -1, "  I98: Test Message returned:7", "  I98: Returning -1"},
      {sim::Dialogs::Answer::Close, -1, "  I98: Test Message returned:2", "  I98: Returning -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answerLine);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    machine.setOs("winme");
    machine.debug.clear();
    machine.log.clear();
    machine.dialogs.setAnswer(c.answer);

    EXPECT_EQ(UninstInitialize(nullptr, 0, ""), c.result);
    EXPECT_EQ(trace(),
              (std::vector<std::string>{"QVINST98: UninstInitialize", c.answerLine, c.resultLine}));
    const auto& shown = machine.dialogs.shown().back().dialog;
    EXPECT_EQ(shown.caption, "Information");
    EXPECT_EQ(shown.text, unplugText);
    EXPECT_EQ(shown.buttons, platform::MessageDialog::Buttons::YesNo);
    // Only a Yes gathers the platform information, which IsWinMe then reads.
    EXPECT_EQ(calls("GetVersionExA").size(), c.result == 0 ? 1u : 0u);
    EXPECT_EQ(IsWinMe(nullptr, 0, ""), c.result == 0 ? 1 : 0);
    EXPECT_TRUE(machine.changes.empty());
  }
}

TEST_F(UninstallTest, DriverDatabasePathsFollowTheWindowsDirectory) {
  struct Case {
    const char* windowsDir;
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {"C:\\WINDOWS", "C:\\WINDOWS\\inf\\drvdata.bin", "C:\\WINDOWS\\inf\\drvidx.bin"},
      // A directory that ends in a backslash gets no second one.
      {"C:\\", "C:\\inf\\drvdata.bin", "C:\\inf\\drvidx.bin"},
      {"D:\\WIN98\\", "D:\\WIN98\\inf\\drvdata.bin", "D:\\WIN98\\inf\\drvidx.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windowsDir);
    machine.debug.clear();
    machine.log.clear();
    machine.files.setWindowsDirectory(c.windowsDir);
    machine.files.addFile(c.first);
    machine.files.addFile(c.second);

    EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
    EXPECT_TRUE(contains(trace(), std::string("  First delete string:") + c.first));
    EXPECT_TRUE(contains(trace(), std::string("  Second delete string:") + c.second));
    EXPECT_FALSE(machine.files.fileExists(c.first));
    EXPECT_FALSE(machine.files.fileExists(c.second));
    EXPECT_EQ(calls("DeleteFileA").size(), 2u);
  }
}

TEST_F(UninstallTest, OnlyFilesThatExistAreDeleted) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const std::vector<Case> cases = {
      {"missing", [] {}},
      // FindFirstFileA finds it, but it is no file.
      {"a directory of that name",
       [&] {
         machine.files.addDirectory(drvData);
         machine.files.addDirectory(drvIdx);
       }},
      // Its time cannot be converted to a DOS date and time.
      {"last written before 1980",
       [&] {
         machine.files.addFile(drvData, sim::Files::timeFromYear(1979));
         machine.files.addFile(drvIdx, sim::Files::timeFromYear(1601));
       }},
  };
  // One after the other on one machine: each case replaces the last one's entries.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    c.setUp();
    const auto before = machine.files.paths();
    machine.debug.clear();
    machine.log.clear();

    EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
    EXPECT_TRUE(calls("DeleteFileA").empty());
    EXPECT_FALSE(contains(trace(), "  I98: Deleting DrvData.Bin"));
    EXPECT_FALSE(contains(trace(), "  I98: Deleting DrvIdx.Bin"));
    EXPECT_EQ(machine.files.paths(), before);
    EXPECT_EQ(machine.files.openFindCount(), 0u);
    expectRestartAdviceShown();
  }
}

TEST_F(UninstallTest, UnreadableWindowsDirectoryDeletesNoFile) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const std::vector<Case> cases = {
      {"GetWindowsDirectoryA fails",
       [&] { machine.log.failCall("GetWindowsDirectoryA", ERROR_ACCESS_DENIED); }},
      {"no Windows directory", [&] { machine.files.setWindowsDirectory(std::nullopt); }},
      // 250 characters and the NUL do not fit the buffer of 250.
      {"250 characters",
       [&] { machine.files.setWindowsDirectory("C:\\" + std::string(247, 'W')); }},
      {"300 characters",
       [&] { machine.files.setWindowsDirectory("C:\\" + std::string(297, 'W')); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.log.clearFailures();
    machine.files.setWindowsDirectory("C:\\WINDOWS");
    addDriverDatabase();
    c.setUp();
    machine.debug.clear();
    machine.log.clear();
    machine.dialogs.setAnswer(sim::Dialogs::Answer::Yes);
    const std::size_t dialogsBefore = machine.dialogs.shown().size();

    EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
    EXPECT_TRUE(calls("FindFirstFileA").empty());
    EXPECT_TRUE(calls("DeleteFileA").empty());
    EXPECT_TRUE(machine.files.fileExists(drvData));
    EXPECT_TRUE(machine.files.fileExists(drvIdx));
    EXPECT_FALSE(std::any_of(trace().begin(), trace().end(), [](const std::string& line) {
      return line.starts_with("  First delete string:");
    }));
    // The line before the end says why nothing was deleted.
    ASSERT_FALSE(trace().empty());
    EXPECT_NE(trace().back().find("Windows directory"), std::string::npos) << trace().back();
    EXPECT_EQ(machine.dialogs.shown().size(), dialogsBefore + 1);
    expectRestartAdviceShown();
  }
}

TEST_F(UninstallTest, LongestWindowsDirectoryThatFitsCutsThePathAt255) {
  const std::string dir = "C:\\" + std::string(246, 'W');  // 249 characters
  machine.files.setWindowsDirectory(dir);
  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
  const std::string first = (dir + "\\inf\\drvdata.bin").substr(0, 255);
  const std::string second = (dir + "\\inf\\drvidx.bin").substr(0, 255);
  EXPECT_TRUE(contains(trace(), "  First delete string:" + first));
  EXPECT_TRUE(contains(trace(), "  Second delete string:" + second));
  EXPECT_EQ(calls("FindFirstFileA"),
            (std::vector<std::string>{first + " -> -1", second + " -> -1"}));
}

TEST_F(UninstallTest, NoRootDeviceKeySkipsTheRootRemovalButNotTheFiles) {
  loadWin98();
  machine.registry.removeKey(rootKey);
  addDriverDatabase();

  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
  EXPECT_TRUE(contains(trace(), "  I98: No Root Device Detected"));
  EXPECT_TRUE(calls("CM_Locate_DevNodeA").empty());
  EXPECT_TRUE(calls("CM_Remove_SubTree").empty());
  EXPECT_EQ(countOf(trace(), "DELKEYS: cleanDeviceKeys"), 1u) << "no second cleanup run";
  EXPECT_FALSE(contains(trace(), "DELKEYS: removeRootKey"));
  EXPECT_FALSE(machine.files.fileExists(drvData));
  EXPECT_FALSE(machine.files.fileExists(drvIdx));
  // Only the joystick table ran: the throttle panel's records stay.
  EXPECT_TRUE(machine.registry.keyExists("HKLM\\Enum\\USB\\VID_1D9F&PID_2181"));
  expectRestartAdviceShown();
}

TEST_F(UninstallTest, RootNodeMissingFromTheTreeSkipsTheRootRemoval) {
  loadWin98();
  machine.configManager.markUnplugged(rootInstance);
  addDriverDatabase();

  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
  EXPECT_TRUE(contains(trace(), "  I98: Could not find the *QV_TILLERDESK\\0000 device"));
  EXPECT_TRUE(calls("CM_Remove_SubTree").empty());
  EXPECT_EQ(countOf(trace(), "DELKEYS: cleanDeviceKeys"), 1u);
  EXPECT_FALSE(contains(trace(), "DELKEYS: removeRootKey"));
  EXPECT_TRUE(machine.registry.keyExists(rootKey));
  EXPECT_FALSE(machine.files.fileExists(drvData));
  EXPECT_FALSE(machine.files.fileExists(drvIdx));
  expectRestartAdviceShown();
}

TEST_F(UninstallTest, CallerWithoutAdministratorRightsLosesOnlyTheNodeAndTheFiles) {
  machine.setOs("winxp");
  machine.system.setProcessToken(sim::TokenSetup{false, false});
  image::loadRegFile(machine.registry, QVINST98_MACHINES_DIR "/winxp.reg");
  // The probe key, and the node that XP's device tree is built from.
  machine.registry.setString(rootKey, "Driver", "QVProducts\\0001");
  machine.registry.addKey("HKLM\\System\\CurrentControlSet\\Enum\\Root\\*QV_TILLERDESK\\0000");
  machine.configManager.loadFromRegistry();
  addDriverDatabase();

  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
  EXPECT_EQ(countOf(trace(), "DELKEYS: cleanDeviceKeys"), 2u);
  EXPECT_FALSE(contains(trace(), "DELKEYS: removeRootKey"));
  EXPECT_FALSE(machine.configManager.hasNode(rootInstance));
  EXPECT_TRUE(machine.registry.keyExists(rootKey));
  EXPECT_FALSE(machine.files.fileExists(drvData));
  EXPECT_FALSE(machine.files.fileExists(drvIdx));
  // Apart from the node and the two files, nothing changed.
  for (const auto& change : machine.changes) {
    EXPECT_TRUE(change.kind == sim::Change::Kind::RemovedNode ||
                change.kind == sim::Change::Kind::DeletedFile)
        << change.describe();
  }
  expectRestartAdviceShown();
}

// A step that raises is traced, and the callback still goes on to the
// files and the restart advice.
TEST_F(UninstallTest, RaisingStepsAreTracedAndTheRestFollows) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
    std::size_t errors;  // each cleanup run, or removeRootKey, ends by the error
    bool rootKeysRemoved;
  };
  const std::vector<Case> cases = {
      // Both runs meet the instance: the first one never deleted it.
      {"Driver as a DWORD in the enumerator tree",
       [&] {
         machine.registry.setDword("HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\6&2A0B1C3D&0&1", "Driver",
                                   2);
       },
       2, false},
      {"DeviceInstance as a DWORD in a device interface key",
       [&] {
         machine.registry.setDword(
             "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
             "{4d1e55b2-f16f-11cf-88cb-001111000030}\\##?#HID#VID_045E&PID_0040#6&1a2b3c4d&0&0000#"
             "{4d1e55b2-f16f-11cf-88cb-001111000030}",
             "DeviceInstance", 2);
       },
       2, false},
      {"the root device's Driver as a DWORD",
       [&] { machine.registry.setDword(rootKey, "Driver", 2); }, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    machine.registry.clear();
    loadWin98();
    addDriverDatabase();
    c.setUp();
    machine.debug.clear();
    const std::size_t dialogsBefore = machine.dialogs.shown().size();

    EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
    std::size_t errors = 0;
    for (const auto& line : trace()) {
      if (line.starts_with("  I98: Error:")) {
        ++errors;
        EXPECT_NE(line.find("Invalid data type for '"), std::string::npos) << line;
      }
    }
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(machine.registry.keyExists(rootKey), !c.rootKeysRemoved);
    EXPECT_FALSE(machine.configManager.hasNode(rootInstance)) << "the node went before the error";
    EXPECT_FALSE(machine.files.fileExists(drvData));
    EXPECT_FALSE(machine.files.fileExists(drvIdx));
    EXPECT_EQ(machine.dialogs.shown().size(), dialogsBefore + 1);
    expectRestartAdviceShown();
    EXPECT_EQ(machine.registry.openHandleCount(), 0u);
  }
}

// The whole trace on the Windows 98 sample with the root device plugged in,
// against the text worked out by hand in tests/data.
TEST_F(UninstallTest, FullTraceOnTheWindows98Machine) {
  loadWin98();
  addDriverDatabase();
  ASSERT_TRUE(machine.configManager.hasNode(rootInstance));

  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);

  const std::vector<std::string> expected =
      readLines(QVINST98_TESTDATA_DIR "/uninstall-win98.trace");
  ASSERT_GT(expected.size(), 100u);
  const std::vector<std::string>& actual = trace();
  const std::size_t common = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (expected[i] != actual[i]) {
      std::ostringstream context;
      for (std::size_t j = (i >= 3 ? i - 3 : 0); j < i; ++j) context << "  " << actual[j] << '\n';
      ADD_FAILURE() << "first difference at line " << i + 1 << "\nexpected: " << expected[i]
                    << "\nactual:   " << actual[i] << "\npreceded by:\n"
                    << context.str();
      break;
    }
  }
  EXPECT_EQ(actual.size(), expected.size());

  // What the run left: the root device key's instance and the product's
  // records are gone, the other makers' devices stay.
  EXPECT_FALSE(machine.registry.keyExists(rootKey));
  EXPECT_TRUE(machine.registry.keyExists("HKLM\\Enum\\Root\\*QV_TILLERDESK"));
  EXPECT_FALSE(machine.configManager.hasNode(rootInstance));
  EXPECT_TRUE(machine.registry.keyExists("HKLM\\Enum\\USB\\VID_045E&PID_0040"));
  EXPECT_TRUE(machine.registry.keyExists("HKLM\\Enum\\HID\\VID_046D&PID_C216"));
  EXPECT_FALSE(machine.registry.keyExists("HKLM\\Enum\\QVProducts\\VID_1D9F&PID_2181"));
  EXPECT_FALSE(machine.files.fileExists(drvData));
  EXPECT_FALSE(machine.files.fileExists(drvIdx));
  expectRestartAdviceShown();
}

}  // namespace
