// Device identification and the cleanup run: the test that decides from a
// device ID whether a device belongs to the devices being removed, the run
// with its registry sweeps and Plug-and-Play removal, and the removal of the
// root device's registry keys.
//
// A run is an object: it owns its platform flags, window handle, lists, path
// and key objects, which go with it. What one export leaves for the next (the
// match mode, left in root mode by removeRootKey, and deviceFound) is the
// module's MatchState. The library's callers call one export at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "RootDevice.h"
#include "Types.h"
#include "WinReg.h"
#include "WinTypes.h"

namespace qvinst {

// Driver keys lie below this key of HKEY_LOCAL_MACHINE.
inline constexpr const char* classKeyPath = "System\\CurrentControlSet\\Services\\Class";

// The module state that outlives one export. checkId reads the mode flags
// and sets deviceFound; a run sets the flags at its start, removeRootKey
// switches them to root mode and leaves them so.
struct MatchState {
  bool matchPedals = false;  // the pedal table instead of the joystick-device table
  bool matchAux = false;     // a failed first test tries the auxiliary table too
  bool matchRoot = false;    // look for the root device's ID instead
  bool deviceFound = false;  // an ID matched since the run started

  void reset() { *this = MatchState{}; }
};

// The module's one MatchState.
MatchState& matchState();

// Load-time state: matchState() reset.
void initDelKeys();

// Device ID matching.
std::string toUpperId(std::string_view text);  // ASCII a-z only, no locale
bool isDriverClassKey(std::string_view text);  // contains HID\, MEDIA\, ... (any case)
bool checkDeviceId(std::string_view id);
bool checkPedalId(std::string_view id);
bool checkAuxDeviceId(std::string_view id);
// IDs of 16 characters or fewer never match. Sets deviceFound on a match.
bool checkId(std::string_view id);

// The one guard for every key name derived from a "Driver" value (driver
// keys, joystick resource keys, the root device's driver key): whether the
// value names one driver key below the class key and nothing else once
// Windows has normalised it. Refused: the empty text, a text longer than a
// short string (it would be cut), a leading or trailing backslash, an empty
// component, a "." or ".." component, a component ending in a space or a
// dot, and a single component (it names a whole class).
bool isDriverKeyPath(std::string_view driver);

// One cleanup run (or one removeRootKey): the registry sweeps work through
// its lists and key objects, which exist as long as the run.
class CleanupRun {
public:
  explicit CleanupRun(HWND wnd = nullptr);
  CleanupRun(const CleanupRun&) = delete;
  CleanupRun& operator=(const CleanupRun&) = delete;

  // 0 when an ID matched, 1 when none did, 2 (nothing touched) when the
  // caller is not an administrator. An ERegistryException from a sweep
  // passes on to the caller.
  int cleanDeviceKeys(bool aux, bool table);
  // Deletes the root device's instance key, its driver key and its ASD
  // entries, in root mode. Returns 0.
  int removeRootKey();

  // The sweeps, each on its own keys; they change what checkId records.
  void deleteEnumUsbKeys();
  void deleteEnumHidKeys();
  void deleteEnumQvKeys();
  void deleteEnumUsbKeys2k();
  void deleteEnumHidKeys2k();
  void deleteEnumQvKeys2k();
  void deleteJoystickSettingsKeys();
  void deleteOemKeys();
  void deleteAsdKeys();
  void deleteDeviceClassesKeys();

private:
  struct LegacySweep;
  struct SettingsSweep;
  struct AsdList;
  struct DeviceClassKey;
  class KeyObjectsScope;

  void setRegPath(std::string_view path);
  void clearLists();
  bool openMainReg();
  void runLegacySweep(const LegacySweep& sweep);
  void devicePhase(const LegacySweep& sweep);
  void classPhase(const LegacySweep& sweep);
  void joystickResourcePhase();
  void runPnpSweep(const char* title, const char* path, std::string_view queryTemplate);
  void runSettingsSweep(const SettingsSweep& sweep, std::string_view path);
  void sweepAsdList(const AsdList& list);
  void sweepDeviceClassKey(const DeviceClassKey& key);

  MatchState& state_;
  // Platform flags, copied at run start.
  bool isWin9x = false;   // major version 4
  bool isWinNT5 = false;  // major version 5
  HWND parentWnd;
  TStringList KeyList;     // the subkey names of the key a sweep walks
  TStringList ValueList;   // names a sweep collects (driver references, value names)
  TStringList SubKeyList;  // the subkey names of one matched subkey
  std::string regPath;     // the path a sweep opens next, below HKEY_LOCAL_MACHINE
  // A sweep's key objects go with the sweep (subReg first).
  std::unique_ptr<TWinRegistry> mainReg;
  std::unique_ptr<TWinRegistry> subReg;
};

// The run as its callers start it: a fresh CleanupRun for the caller's
// window.
int cleanDeviceKeys(HWND wnd, bool aux, bool table);
int removeRootKey();

}  // namespace qvinst
