#include "QVInst98.h"

#include <array>
#include <cstring>
#include <exception>
#include <memory>

#include "DelKeys.h"
#include "Exports.h"
#include "Handles.h"
#include "OsInfo.h"
#include "Platform.h"
#include "RootDevice.h"
#include "Tracers.h"
#include "Types.h"
#include "WinReg.h"

namespace qvinst {

std::string targetDir;

namespace {

constexpr std::size_t windowsDirSize = 251;
char windowsDirBuffer[windowsDirSize];

const char* unplugMessage =
    "Before uninstalling the Tillerdesk, it is highly recommended that you unplug all QV USB "
    "devices to ensure that all drivers, etc. are properly removed. If there are QV USB devices "
    "currently connected click \"No\", unplug the devices, and restart the uninstall. Have all the "
    "devices been unpluged?";

const char* restartMessage =
    "Removal of the Tillerdesk software is complete. To finish the uninstall and unload the "
    "drivers from memory it is necessary to restart Windows. It is highly recommended that you "
    "RESTART WINDOWS as soon as possible after this program exits.";

void storeTargetDir(const char* text) {
  // A null pointer reads as the empty text.
  targetDir.clear();
  if (text == nullptr) return;
  targetDir.assign(text, strnlen(text, shortStringMax));
}

// The boundary every export passes through: an error raised inside ends the
// export with -1 after a trace line, and never reaches the caller.
template <typename Body>
std::int32_t guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    try {
      Trace("  I98: Error:%s", {e.what()});
    } catch (...) {
    }
  } catch (...) {
    try {
      TraceMsg("  I98: Error:unknown");
    } catch (...) {
    }
  }
  return -1;
}

// Runs one step of the uninstall callback; an error inside it is traced and
// the callback goes on with its next step.
template <typename Step>
void uninstallStep(Step&& step) noexcept {
  guarded([&] {
    step();
    return 0;
  });
}

bool fileExists(const std::string& path) {
  platform::FileSystem& fs = platform::get().files;
  WIN32_FIND_DATAA data{};
  platform::UniqueFindHandle find(fs.FindFirstFileA(path.c_str(), &data));
  if (!find) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  FILETIME local{};
  WORD dosDate = 0;
  WORD dosTime = 0;
  return fs.FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
         fs.FileTimeToDosDateTime(&local, &dosDate, &dosTime);
}

int showDialog(platform::MessageDialog::Buttons buttons, const char* text) {
  return platform::get().dialogs.showMessageDialog({"Information", text, buttons});
}

// Removes the root device's node with the nodes below it, cleans the
// devices with the auxiliary table too, and when that run matched a device
// deletes the root device's keys. The cleanup run's result, or 0 when the
// node is not in the device tree.
std::int32_t removeRootNode(HWND wnd) {
  Trace("  I98: Trying to Remove:\"%s\"", {rootInstancePath});
  platform::ConfigManager& cm = platform::get().configManager;
  DEVINST node = 0;
  const CONFIGRET located =
      cm.CM_Locate_DevNodeA(&node, rootInstancePath, CM_LOCATE_DEVNODE_NORMAL);
  Trace("  I98: CM_Locate_Devnode returned:%x", {located});
  if (located != CR_SUCCESS) {
    TraceMsg("  I98: Could not find the *QV_TILLERDESK\\0000 device");
    return 0;
  }
  TraceMsg("  I98: Found the *QV_TILLERDESK\\0000 device");
  const CONFIGRET removed = cm.CM_Remove_SubTree(node, /*flags=*/0);
  Trace("  I98: CM_Remove_SubTree returned:%x", {removed});
  const int run = cleanDeviceKeys(wnd, /*aux=*/true, /*table=*/true);
  if (run != 0) return run;
  return removeRootKey();
}

// Deletes one driver database file. A path that a short string cuts names
// another file: it is never deleted.
void deleteDatabaseFile(const std::string& path, const char* pathLine, const char* deleteLine) {
  const std::string shown = shortString(path);
  Trace(pathLine, {shown});
  if (!fileExists(shown)) return;
  if (path.size() > shortStringMax) {
    TraceMsg("  I98: Path too long, file not deleted");
    return;
  }
  TraceMsg(deleteLine);
  platform::get().files.DeleteFileA(path.c_str());
}

void deleteDriverDatabase(const std::string& windowsDir) {
  deleteDatabaseFile(windowsDir + "inf\\drvdata.bin", "  First delete string:%s",
                     "  I98: Deleting DrvData.Bin");
  deleteDatabaseFile(windowsDir + "inf\\drvidx.bin", "  Second delete string:%s",
                     "  I98: Deleting DrvIdx.Bin");
}

}  // namespace

void initQVInst98() {
  targetDir.clear();
  std::memset(windowsDirBuffer, 0, sizeof windowsDirBuffer);
}

void onLoad() {
  initTracers();
  initOsInfo();
  initWinReg();
  initDelKeys();
  initQVInst98();
}

std::int32_t checkDeviceKeys(bool full) {
  TraceMsg("INST98: checkDeviceKeys");
  std::int32_t count = 0;
  TStringList names;
  if (full) {
    std::unique_ptr<TWinRegistry> walked =
        TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\System");
    if (walked->isOpen()) {
      walked->ReadSection(names);
      for (const std::string& entry : names) {
        const std::string name = shortString(entry);
        const std::string compatible =
            shortString(walked->ReadSubkeyString(name, "CompatibleIDs", ""));
        Trace("  I98: CompatibleIDs:\"%s\"", {compatible});
        if (compatible != legacyDriverId) continue;
        const std::string driver = shortString(walked->ReadSubkeyString(name, "Driver", ""));
        Trace("  I98: Driver:\"%s\"", {driver});
        Trace("  I98: classKey:%s", {classKeyPath});
        std::unique_ptr<TWinRegistry> classKey =
            TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, classKeyPath);
        if (!classKey->isOpen()) {
          TraceMsg("  I98: Class Key Wouldn't Open");
        } else {
          const std::string matching =
              shortString(classKey->ReadSubkeyString(driver, "MatchingDeviceId", ""));
          Trace("  I98: MatchingDeviceId:%s", {matching});
          if (matching == legacyDriverId) {
            TraceMsg("  I98: Found *QVDRVR03");
            count += 2;
          }
        }
      }
    }
  }
  std::unique_ptr<TWinRegistry> probe =
      TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, rootDeviceKey);
  if (probe->isOpen()) count += 1;
  return count;
}

std::optional<std::string> getWindowsDir() {
  std::memset(windowsDirBuffer, 0, sizeof windowsDirBuffer);
  const UINT length = platform::get().files.GetWindowsDirectoryA(windowsDirBuffer, 250);
  // A failure, or a directory that did not fit, leaves nothing to use.
  if (length == 0 || length >= 250) return std::nullopt;
  std::string dir(windowsDirBuffer, strnlen(windowsDirBuffer, 250));
  if (dir.empty() || dir.back() != '\\') dir.push_back('\\');
  return dir;
}

}  // namespace qvinst

using namespace qvinst;

extern "C" {

std::int32_t WINAPI UninstInitialize(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("QVINST98: UninstInitialize");
    const int answer = showDialog(platform::MessageDialog::Buttons::YesNo, unplugMessage);
    Trace("  I98: Test Message returned:%x", {answer});
    if (answer == IDYES) {
      TraceMsg("  I98: Returning 0");
      osQueryInfo();
      return 0;
    }
    TraceMsg("  I98: Returning -1");
    return -1;
  });
}

std::int32_t WINAPI UninstUnInitialize(HWND wnd, std::int32_t, const char*) {
  // Every step runs whatever the one before reported; the result is 0.
  guarded([] {
    TraceMsg("QVINST98: UninstUnInitialize");
    return 0;
  });
  uninstallStep([&] { cleanDeviceKeys(wnd, /*aux=*/false, /*table=*/true); });
  uninstallStep([&] {
    if (checkDeviceKeys(false) <= 0) {
      TraceMsg("  I98: No Root Device Detected");
      return;
    }
    removeRootNode(wnd);
  });
  uninstallStep([] {
    const std::optional<std::string> windowsDir = getWindowsDir();
    if (!windowsDir) {
      TraceMsg("  I98: Windows directory unreadable, no file deleted");
      return;
    }
    deleteDriverDatabase(*windowsDir);
  });
  uninstallStep([] { showDialog(platform::MessageDialog::Buttons::Ok, restartMessage); });
  return 0;
}

std::int32_t WINAPI CreateRootDevice(HWND, std::int32_t, const char* text) {
  return guarded([text] {
    storeTargetDir(text);
    Trace("INST98: createRootDevice - targetDir:%s", {targetDir});
    std::int32_t result = checkDeviceKeys(true);
    if (result == 0) {
      Trace("  I98: Trying to Create:\"%s\"", {rootInstancePath});
      platform::ConfigManager& cm = platform::get().configManager;
      DEVINST root = 0;
      const CONFIGRET located =
          cm.CM_Locate_DevNodeA(&root, /*deviceId=*/nullptr, CM_LOCATE_DEVNODE_NORMAL);
      Trace("  I98: CM_Locate_Devnode returned:%x", {located});
      if (located != CR_SUCCESS) {
        // No parent to create below: the locate failure is the answer.
        result = static_cast<std::int32_t>(located);
      } else {
        DEVINST node = 0;
        const CONFIGRET created =
            cm.CM_Create_DevNodeA(&node, rootInstancePath, root, CM_CREATE_DEVNODE_NORMAL);
        Trace("  I98: CM_CreateDevode returned:%x", {created});
        result = created == CR_SUCCESS ? 1 : static_cast<std::int32_t>(created);
      }
    }
    Trace("  I98: Create Returning:%x", {result});
    return result;
  });
}

std::int32_t WINAPI UpdateDevices(HWND, std::int32_t, const char* text) {
  return guarded([text] {
    storeTargetDir(text);
    Trace("INST98: updateDevices - targetDir:%s", {targetDir});
    return 1;
  });
}

std::int32_t WINAPI RemoveRootDevice(HWND wnd, std::int32_t, const char*) {
  return guarded([wnd] {
    TraceMsg("INST98: removeRootDevice");
    if (checkDeviceKeys(false) == 0) {
      TraceMsg("  I98: No Root Device Detected");
      return 0;
    }
    return removeRootNode(wnd);
  });
}

std::int32_t WINAPI RemoveUsbDevices(HWND wnd, std::int32_t, const char*) {
  return guarded([wnd] {
    TraceMsg("INST2K: removeUsbDevices");
    return cleanDeviceKeys(wnd, /*aux=*/false, /*table=*/true);
  });
}

std::int32_t WINAPI RemovePedalDevices(HWND wnd, std::int32_t, const char*) {
  return guarded([wnd] {
    TraceMsg("INST2K: removeUsbDevices");
    return cleanDeviceKeys(wnd, /*aux=*/false, /*table=*/false);
  });
}

std::int32_t WINAPI RemoveAuxDevices(HWND wnd, std::int32_t, const char*) {
  return guarded([wnd] {
    TraceMsg("INST98: removeAuxDevices");
    return cleanDeviceKeys(wnd, /*aux=*/true, /*table=*/true);
  });
}

std::int32_t WINAPI IsWin2k(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: isWin2k");
    return 0;
  });
}

std::int32_t WINAPI IsWinMe(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: isWinMe");
    return osIsWinMe() ? 1 : 0;
  });
}

std::int32_t WINAPI IsWinXp(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: isWinXp");
    return 0;
  });
}

std::int32_t WINAPI IsAdmin(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: isAdmin");
    return 1;
  });
}

std::int32_t WINAPI NeedReboot(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: needReboot");
    return 0;
  });
}

std::int32_t WINAPI InitModule(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: initModule");
    targetDir.clear();
    return osQueryInfo() ? 1 : 0;
  });
}

std::int32_t WINAPI SetTargetDir(HWND, std::int32_t, const char* text) {
  return guarded([text] {
    TraceMsg("INST98: setTargetDir");
    storeTargetDir(text);
    return 0;
  });
}

std::int32_t WINAPI RootDeviceCount(HWND, std::int32_t, const char*) {
  return guarded([] {
    TraceMsg("INST98: RootDeviceCount");
    const std::int32_t count = checkDeviceKeys(true);
    Trace("  I98: Exiting RootDeviceCount - count:%x", {count});
    return count;
  });
}

}  // extern "C"

namespace qvinst {

const ExportEntry exportTable[16] = {
    {1, "UninstInitialize", UninstInitialize},
    {2, "UninstUnInitialize", UninstUnInitialize},
    {3, "CreateRootDevice", CreateRootDevice},
    {4, "UpdateDevices", UpdateDevices},
    {5, "RemoveRootDevice", RemoveRootDevice},
    {6, "RemoveUsbDevices", RemoveUsbDevices},
    {7, "RemovePedalDevices", RemovePedalDevices},
    {8, "RemoveAuxDevices", RemoveAuxDevices},
    {9, "IsWin2k", IsWin2k},
    {10, "IsWinMe", IsWinMe},
    {11, "IsWinXp", IsWinXp},
    {12, "IsAdmin", IsAdmin},
    {13, "NeedReboot", NeedReboot},
    {14, "InitModule", InitModule},
    {15, "SetTargetDir", SetTargetDir},
    {16, "RootDeviceCount", RootDeviceCount},
};

}  // namespace qvinst
