#include "DelKeys.h"

#include <array>
#include <cstdint>

#include "Handles.h"
#include "OsInfo.h"
#include "Platform.h"
#include "QVPids.h"
#include "Tracers.h"

namespace qvinst {

namespace {

MatchState moduleMatchState;

// The query templates of the Plug-and-Play sweeps; each query puts the
// product digits of the accepted name in place of the last four characters.
constexpr std::string_view usbQueryTemplate = "USB\\VID_1D9F&PID_0000";
constexpr std::string_view hidQueryTemplate = "HID\\VID_1D9F&PID_0000";
constexpr std::string_view qvQueryTemplate = "QVProducts\\VID_1D9F&PID_0000";

std::int32_t countOf(const TStringList& list) {
  return static_cast<std::int32_t>(list.size());
}

// A name that does not fit a short string would be cut, and the cut name
// reaches another key or value: such a name is never used.
bool usableName(const std::string& name) {
  if (name.size() <= shortStringMax) return true;
  Trace("  EU: Name too long, skipped:%s", {shortString(name)});
  return false;
}

template <std::size_t N>
bool matchTable(std::string_view id, const std::array<std::string_view, N>& table,
                std::string_view title) {
  Trace(title, {id});
  const std::string upper = toUpperId(id);
  Trace("  EU: nVidPids:%d", {static_cast<std::int32_t>(N - 1)});
  for (std::string_view entry : table) {
    Trace("  EU: Doing Compare:  List:%s:  Current:%s:", {entry, upper});
    if (!entry.empty() && upper.find(entry) != std::string::npos) {
      TraceMsg("  EU: Found It!");
      return true;
    }
  }
  return false;
}

}  // namespace

// The enumerator sweeps of the version-4 family differ only in these texts
// and in whether the joystick resource phase runs.
struct CleanupRun::LegacySweep {
  const char* entryLine;
  const char* enumPath;
  const char* deviceEndLine;
  const char* classStartLine;
  const char* classEndLine;
  bool joystickPhase;
  const char* exitLine;
};

struct CleanupRun::SettingsSweep {
  const char* entryLine;
  const char* endLine;
  const char* exitLine;
};

struct CleanupRun::AsdList {
  const char* subkey;
  const char* countLine;
  const char* nameLine;
  const char* deleteLine;
};

struct CleanupRun::DeviceClassKey {
  const char* path;
  const char* openedLine;
  const char* countLine;
  const char* valueLine;
  const char* freeLine;
};

// A sweep's key objects go with the sweep, also when an error ends it.
class CleanupRun::KeyObjectsScope {
public:
  explicit KeyObjectsScope(CleanupRun& run) : run_(run) {}
  ~KeyObjectsScope() {
    run_.subReg.reset();
    run_.mainReg.reset();
  }
  KeyObjectsScope(const KeyObjectsScope&) = delete;
  KeyObjectsScope& operator=(const KeyObjectsScope&) = delete;

private:
  CleanupRun& run_;
};

MatchState& matchState() {
  return moduleMatchState;
}

void initDelKeys() {
  moduleMatchState.reset();
}

std::string toUpperId(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return upper;
}

bool isDriverClassKey(std::string_view text) {
  static constexpr std::array<std::string_view, 6> classKeys = {
      "HID\\", "HIDCLASS\\", "MEDIA\\", "QVPRODUCTS\\", "KEYBOARD\\", "MOUSE\\"};
  const std::string upper = toUpperId(text);
  for (std::string_view key : classKeys) {
    if (upper.find(key) != std::string::npos) return true;
  }
  return false;
}

bool isDriverKeyPath(std::string_view driver) {
  if (driver.empty() || driver.size() > shortStringMax) return false;
  std::size_t components = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = driver.find('\\', start);
    const std::string_view part = driver.substr(start, end - start);
    // Empty components come from a leading, doubled or trailing backslash.
    // Windows drops trailing spaces and dots of a component, so "0004 ",
    // "0004." and "." or ".." would reach another key.
    if (part.empty() || part.back() == ' ' || part.back() == '.') return false;
    ++components;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return components >= 2;
}

bool checkDeviceId(std::string_view id) {
  return matchTable(id, deviceVidPids, "DELKEYS: checkDeviceId:%s");
}

bool checkPedalId(std::string_view id) {
  return matchTable(id, pedalVidPids, "DELKEYS: checkPedalId:%s");
}

bool checkAuxDeviceId(std::string_view id) {
  return matchTable(id, auxVidPids, "DELKEYS: checkAuxDeviceId:%s");
}

bool checkId(std::string_view idText) {
  MatchState& state = matchState();
  const std::string id = shortString(idText);
  // Every table entry has 17 characters.
  if (id.size() <= 16) return false;
  bool result = false;
  if (state.matchPedals) {
    result = checkPedalId(id);
  } else if (state.matchRoot) {
    if (toUpperId(id).find(rootDeviceId) != std::string::npos) {
      TraceMsg("  I98: Found Root ID");
      result = true;
    }
  } else {
    result = checkDeviceId(id);
  }
  if (state.matchAux && !result) result = checkAuxDeviceId(id);
  if (result) state.deviceFound = true;
  return result;
}

CleanupRun::CleanupRun(HWND wnd) : state_(matchState()), parentWnd(wnd) {}

void CleanupRun::setRegPath(std::string_view path) {
  regPath = shortString(path);
}

void CleanupRun::clearLists() {
  KeyList.clear();
  ValueList.clear();
  SubKeyList.clear();
}

// Opens regPath below HKEY_LOCAL_MACHINE into mainReg; on failure releases it.
bool CleanupRun::openMainReg() {
  mainReg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, regPath);
  if (!mainReg->isOpen()) {
    mainReg.reset();
    return false;
  }
  return true;
}

void CleanupRun::devicePhase(const LegacySweep& sweep) {
  KeyList.clear();
  ValueList.clear();
  mainReg->ReadSection(KeyList);
  const std::int32_t devices = countOf(KeyList);
  Trace("  EU: ReadSection found %d Sections", {devices});
  for (std::int32_t i = 0; i < devices; ++i) {
    const std::string name = shortString(KeyList[i]);
    Trace("  EU: Keylist Entry:%s", {name});
    if (!usableName(KeyList[i]) || !checkId(name)) continue;
    TraceMsg("  EU: checkId returned TRUE, opening subReg Key");
    subReg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, regPath + "\\" + name);
    if (subReg->isOpen()) {
      SubKeyList.clear();
      subReg->ReadSection(SubKeyList);
      const std::int32_t instances = countOf(SubKeyList);
      for (std::int32_t j = 0; j < instances; ++j) {
        if (!usableName(SubKeyList[j])) continue;
        const std::string& instance = SubKeyList[j];
        // Kept whole: the guard refuses a reference that a short string
        // would cut.
        const std::string driver = subReg->ReadSubkeyString(instance, "Driver", "");
        Trace("  EU: Adding to ValueList:%s", {shortString(driver)});
        if (isDriverClassKey(driver)) ValueList.push_back(driver);
        // Deletes the instance key and everything below it.
        subReg->eraseSection(instance);
      }
    }
    subReg.reset();
    // Deletes the device key and everything below it, also when its own
    // open failed.
    mainReg->eraseSection(name);
  }
  TraceMsg(sweep.deviceEndLine);
  mainReg.reset();
}

void CleanupRun::classPhase(const LegacySweep& sweep) {
  TraceMsg(sweep.classStartLine);
  setRegPath(classKeyPath);
  if (!openMainReg()) return;
  Trace("  EU: nValues Item Count:%d", {countOf(ValueList)});
  for (const std::string& driver : ValueList) {
    if (!isDriverClassKey(driver)) continue;
    if (!isDriverKeyPath(driver)) {
      // "MEDIA" or "\MEDIA\0001" would name a whole class or a key from the
      // root: never deleted.
      Trace("  EU: Not a driver key:%s", {shortString(driver)});
      continue;
    }
    // Deletes the driver key and everything below it.
    mainReg->eraseSection(driver);
  }
  TraceMsg(sweep.classEndLine);
  mainReg.reset();
}

void CleanupRun::joystickResourcePhase() {
  TraceMsg("  EU: Deleting msjstick.drv<xxxx> Key");
  setRegPath("System\\CurrentControlSet\\Control\\MediaResources\\joystick");
  if (!openMainReg()) return;
  Trace("  EU: nValues:%d", {countOf(ValueList)});
  for (const std::string& driver : ValueList) {
    // The same guard as for the driver key: a reference refused there
    // names no joystick resource key either.
    if (!isDriverKeyPath(driver)) {
      Trace("  EU: Not a driver key:%s", {shortString(driver)});
      continue;
    }
    // Characters 7 to 10: the driver key's number after "MEDIA\".
    const std::string number = driver.size() >= 7 ? driver.substr(6, 4) : std::string();
    mainReg->eraseSection("msjstick.drv<" + number + ">");
  }
  TraceMsg("  EU: Freeing msjstick Reg Object");
  mainReg.reset();
}

void CleanupRun::runLegacySweep(const LegacySweep& sweep) {
  KeyObjectsScope scope(*this);
  TraceMsg(sweep.entryLine);
  setRegPath(sweep.enumPath);
  clearLists();
  if (openMainReg()) devicePhase(sweep);
  classPhase(sweep);
  if (sweep.joystickPhase) joystickResourcePhase();
  TraceMsg(sweep.exitLine);
}

// The Plug-and-Play sweeps walk the enumerator key read-only and have the
// Setup API remove every instance of each accepted device ID.
void CleanupRun::runPnpSweep(const char* title, const char* path, std::string_view queryTemplate) {
  KeyObjectsScope scope(*this);
  TraceMsg(title);
  setRegPath(path);
  clearLists();
  mainReg = TWinRegistry::OpenWithKeyReadOnly(HKEY_LOCAL_MACHINE, regPath);
  if (!mainReg->isOpen()) {
    mainReg.reset();
    return;
  }
  KeyList.clear();
  ValueList.clear();
  mainReg->ReadSection(KeyList);
  mainReg.reset();

  platform::SetupApi& api = platform::get().setupApi;
  const std::int32_t names = countOf(KeyList);
  Trace("  EU: ReadSection found %d Sections", {names});
  const std::string_view vendorPart = queryTemplate.substr(0, queryTemplate.size() - 4);
  for (std::int32_t i = 0; i < names; ++i) {
    const std::string name = shortString(KeyList[i]);
    Trace("  EU: Keylist Entry:%s", {name});
    if (!checkId(name)) continue;
    TraceMsg("  EU: checkId returned TRUE, opening subReg Key");
    // Characters 14 to 17 of an accepted name (always longer than 16) are
    // the product digits, taken as they stand.
    const std::string query = std::string(vendorPart) + name.substr(13, 4);

    platform::UniqueDevInfo set(api.SetupDiGetClassDevsA(/*classGuid=*/nullptr, query.c_str(),
                                                         parentWnd, DIGCF_ALLCLASSES));
    if (!set) continue;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    while (api.SetupDiEnumDeviceInfo(set.get(), /*index=*/0, &data)) {
      TraceMsg(api.SetupDiRemoveDevice(set.get(), &data) ? "  DK: DiRemove OK"
                                                         : "  DK: DiRemove Failed");
      if (api.SetupDiDeleteDeviceInfo(set.get(), &data)) {
        TraceMsg("  DK: DiDelete OK");
      } else {
        // The element would stay at index 0 for ever: this set is done.
        TraceMsg("  DK: DiDelete Failed");
        break;
      }
    }
  }
}

void CleanupRun::runSettingsSweep(const SettingsSweep& sweep, std::string_view path) {
  KeyObjectsScope scope(*this);
  TraceMsg(sweep.entryLine);
  setRegPath(path);
  const bool opened = openMainReg();
  KeyList.clear();
  if (opened) {
    mainReg->ReadSection(KeyList);
    const std::int32_t keys = countOf(KeyList);
    Trace("  EU: nKeys:%d", {keys});
    for (std::int32_t i = 0; i < keys; ++i) {
      const std::string name = shortString(KeyList[i]);
      Trace("  EU: vidPidStr:%s", {name});
      // Deletes the settings key and everything below it.
      if (usableName(KeyList[i]) && checkId(name)) mainReg->eraseSection(name);
    }
    TraceMsg(sweep.endLine);
    mainReg.reset();
  }
  TraceMsg(sweep.exitLine);
}

void CleanupRun::sweepAsdList(const AsdList& list) {
  mainReg->ReadValueNames(list.subkey, ValueList);
  const std::int32_t names = countOf(ValueList);
  Trace(list.countLine, {names});
  for (std::int32_t i = 0; i < names; ++i) {
    const std::string name = shortString(ValueList[i]);
    Trace(list.nameLine, {name});
    if (usableName(ValueList[i]) && checkId(name)) {
      TraceMsg(list.deleteLine);
      mainReg->DeleteKey(list.subkey, name);
    }
  }
}

void CleanupRun::sweepDeviceClassKey(const DeviceClassKey& key) {
  setRegPath(key.path);
  KeyList.clear();
  if (!openMainReg()) return;
  TraceMsg(key.openedLine);
  mainReg->ReadSection(KeyList);
  const std::int32_t keys = countOf(KeyList);
  Trace(key.countLine, {keys});
  for (std::int32_t i = 0; i < keys; ++i) {
    if (!usableName(KeyList[i])) continue;
    const std::string& name = KeyList[i];
    const std::string instance = shortString(mainReg->ReadSubkeyString(name, "DeviceInstance", ""));
    Trace(key.valueLine, {instance});
    // Deletes the interface key and everything below it.
    if (checkId(instance)) mainReg->eraseSection(name);
  }
  TraceMsg(key.freeLine);
  mainReg.reset();
}

int CleanupRun::cleanDeviceKeys(bool aux, bool table) {
  TraceMsg("DELKEYS: cleanDeviceKeys");
  osQueryInfo();
  state_.deviceFound = false;
  isWin9x = osIsWin9x();
  isWinNT5 = osIsWinNT5();
  state_.matchRoot = false;
  state_.matchPedals = !table;
  state_.matchAux = aux;
  if (!osIsAdmin()) return 2;

  clearLists();
  if (isWin9x) {
    TraceMsg("  Deletinge W9x Enum Keys");
    deleteEnumUsbKeys();
    deleteEnumHidKeys();
    deleteEnumQvKeys();
  } else {
    TraceMsg("  Deletinge W2k Enum Keys");
    deleteEnumUsbKeys2k();
    deleteEnumHidKeys2k();
    deleteEnumQvKeys2k();
  }
  TraceMsg("  Deletinge Settings and OEM Keys");
  deleteJoystickSettingsKeys();
  deleteOemKeys();
  if (isWin9x) {
    TraceMsg("  Deletinge W9x Special Keys");
    deleteAsdKeys();
    deleteDeviceClassesKeys();
  }
  return state_.deviceFound ? 0 : 1;
}

void CleanupRun::deleteEnumUsbKeys() {
  runLegacySweep({"DELKEYS: deleteEnumUsbKeys", "Enum\\USB", "  Freeing Enum\\USB Reg Object",
                  "  EU: Deleting Usb Class NNNN Keys", "  EU: Freeing MEDIA/HID Reg Object", false,
                  "  EU: Exiting deleteEnumUsbKeys"});
}

void CleanupRun::deleteEnumHidKeys() {
  runLegacySweep({"DELKEYS: deleteEnumHidKeys", "Enum\\HID", "  EU: Freeing Enum\\HID Reg Object",
                  "  EU: Deleting Media Class Key", "  EU: Freeing MEDIA Reg Object", true,
                  "  EU: Exiting deleteEnumHidKeys"});
}

void CleanupRun::deleteEnumQvKeys() {
  runLegacySweep({"DELKEYS: deleteEnumQvKeys", "Enum\\QVProducts",
                  "  EU: Freeing Enum\\HID Reg Object", "  EU: Deleting Media Class Key",
                  "  EU: Freeing Class Reg Object", true, "  EU: Exiting deleteEnumHidKeys"});
}

void CleanupRun::deleteEnumUsbKeys2k() {
  runPnpSweep("DELKEYS: deleteEnumUsbKeys2k", "System\\CurrentControlSet\\Enum\\USB",
              usbQueryTemplate);
}

void CleanupRun::deleteEnumHidKeys2k() {
  runPnpSweep("DELKEYS: deleteEnumHidKeys2k", "System\\CurrentControlSet\\Enum\\HID",
              hidQueryTemplate);
}

void CleanupRun::deleteEnumQvKeys2k() {
  runPnpSweep("DELKEYS: deleteEnumQvKeys2k", "System\\CurrentControlSet\\Enum\\QVProducts",
              qvQueryTemplate);
}

void CleanupRun::deleteJoystickSettingsKeys() {
  // Two different keys, not a placeholder: "<FixedKey>" is a key's name.
  const char* path = isWinNT5 ? "System\\CurrentControlSet\\Control\\MediaResources\\Joystick\\DINP"
                                "UT.DLL\\JoystickSettings"
                              : "System\\CurrentControlSet\\Control\\MediaResources\\joystick\\<"
                                "FixedKey>\\JoystickSettings";
  runSettingsSweep(
      {"DELKEYS: deleteJoystickSettingsKeys", "  EU: Freeing JoystickSettings Key Reg Object",
       "  EU: Exiting deleteJoystickSettingsKeys"},
      path);
}

void CleanupRun::deleteOemKeys() {
  runSettingsSweep(
      {"DELKEYS: deleteOemKeys", "  EU: Freeing OEM Key Reg Object", "  EU: Exiting deleteOemKeys"},
      "System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM");
}

void CleanupRun::deleteAsdKeys() {
  KeyObjectsScope scope(*this);
  TraceMsg("DELKEYS: deleteAsdKeys");
  setRegPath("System\\CurrentControlSet\\Control\\ASD\\Prob");
  const bool opened = openMainReg();
  ValueList.clear();
  if (opened) {
    // Deletes single values only, never a key.
    sweepAsdList({"{9b4e7760-3196-11cf-97ea-00aa0034319d}", "  EU: First nVals:%d",
                  "  EU: First vidPidStr:%s", "  DK: Deleting ASD Subkey 1"});
    TraceMsg("  EU: Processing Second ASD Reg Object");
    ValueList.clear();
    sweepAsdList({"{cf2524c0-29ae-11cf-97ea-00aa0034319d}", "  EU: Second nVals:%d",
                  "  EU: Second vidPidStr:%s", "  DK: Deleting ASD Subkey 2"});
    TraceMsg("  EU: Freeing Second ASD Reg Object");
    mainReg.reset();
  }
  TraceMsg("  EU: Exiting deleteAsdKeys");
}

void CleanupRun::deleteDeviceClassesKeys() {
  KeyObjectsScope scope(*this);
  TraceMsg("DELKEYS: deleteDeviceClassesKeys");
  sweepDeviceClassKey(
      {"System\\CurrentControlSet\\Control\\DeviceClasses\\{4d1e55b2-f16f-11cf-88cb-001111000030}",
       "  EU: Registry Key Opened Okay", "  EU: First nKeys:%d", "  EU: First vidPidStr:%s",
       "  EU: Freeing First DevClass Reg Object"});
  sweepDeviceClassKey(
      {"System\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
       "  EU: Second Registry Key Opened Okay", "  EU: Second nKeys:%d",
       "  EU: Second vidPidStr:%s", "  EU: Freeing Second DevClass Reg Object"});
  TraceMsg("  EU: Exiting deleteDeviceClassesKeys");
}

int CleanupRun::removeRootKey() {
  TraceMsg("DELKEYS: removeRootKey");
  state_.matchRoot = true;
  state_.matchPedals = false;
  state_.matchAux = false;
  clearLists();
  {
    KeyObjectsScope scope(*this);
    setRegPath(rootParentKey);
    if (openMainReg()) {
      // Kept whole: the guard refuses a reference that a short string would
      // cut.
      const std::string driver = mainReg->ReadSubkeyString(rootInstanceName, "Driver", "");
      Trace("  I98: Driver is:\"%s\"", {shortString(driver)});
      // Deletes the instance key and everything below it; the device key
      // itself stays.
      mainReg->eraseSection(rootInstanceName);
      mainReg.reset();

      TraceMsg("  EU: Deleting System Key");
      if (!isDriverKeyPath(driver)) {
        // An empty name would delete the class key itself.
        Trace("  EU: Not a driver key:\"%s\"", {shortString(driver)});
      } else {
        setRegPath(classKeyPath);
        if (openMainReg()) {
          TraceMsg("  EU: Deleting Root Driver");
          // Deletes the driver key and everything below it.
          mainReg->eraseSection(driver);
          mainReg.reset();
        }
      }
    }
  }
  deleteAsdKeys();
  TraceMsg("  EU: Exiting removeRootKey");
  return 0;
}

int cleanDeviceKeys(HWND wnd, bool aux, bool table) {
  CleanupRun run(wnd);
  return run.cleanDeviceKeys(aux, table);
}

int removeRootKey() {
  CleanupRun run;
  return run.removeRootKey();
}

}  // namespace qvinst
