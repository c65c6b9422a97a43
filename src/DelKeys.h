// Device identification and the cleanup run: the test that decides from a
// device ID whether a device belongs to the devices being removed, the run
// with its registry sweeps and Plug-and-Play removal, and the removal of the
// root device's registry keys.
//
// The sweeps take no arguments and return nothing: they work through the
// run's module-wide state below, and their one effect on the run's result is
// deviceFound, which checkId sets on every match. The state is unguarded; the
// library's callers call one export at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Types.h"
#include "WinReg.h"
#include "WinTypes.h"

namespace qvinst {

// Mode flags read by checkId.
extern bool matchPedals;  // the pedal table instead of the joystick-device table
extern bool matchAux;     // a failed first test tries the auxiliary table too
extern bool matchRoot;    // look for the root device's ID instead
extern bool deviceFound;  // an ID matched since the run started
// Platform flags, copied at run start.
extern bool isWin9x;   // major version 4
extern bool isWinNT5;  // major version 5
extern HWND parentWnd;
// The run's lists and key objects: they exist only inside a run (or
// removeRootKey) and are released on every path.
extern std::unique_ptr<TStringList> KeyList;
extern std::unique_ptr<TStringList> ValueList;
extern std::unique_ptr<TStringList> SubKeyList;
extern std::string regPath;
extern std::unique_ptr<TWinRegistry> mainReg;
extern std::unique_ptr<TWinRegistry> subReg;

// Driver keys lie below this key of HKEY_LOCAL_MACHINE.
inline constexpr const char* classKeyPath = "System\\CurrentControlSet\\Services\\Class";

// The root device's instance ID, upper case.
inline constexpr std::string_view rootDeviceId = "ROOT\\*QV_TILLERDESK\\0000";

void initDelKeys();

// Device ID matching.
std::string toUpperId(std::string_view text);  // ASCII a-z only, no locale
bool isDriverClassKey(std::string_view text);  // contains HID\, MEDIA\, ... (any case)
bool checkDeviceId(std::string_view id);
bool checkPedalId(std::string_view id);
bool checkAuxDeviceId(std::string_view id);
// IDs of 16 characters or fewer never match. Sets deviceFound on a match.
bool checkId(std::string_view id);

// Whether a "Driver" value can safely name a driver key below the class key:
// not empty, no leading backslash (which would address a key from the root),
// no empty component, at least two components (one names a whole class).
bool isDriverKeyPath(std::string_view driver);

// The cleanup run: 0 when an ID matched, 1 when none did, 2 (nothing
// touched) when the caller is not an administrator. An ERegistryException
// from a sweep passes on to the caller with the lists released.
int cleanDeviceKeys(HWND wnd, bool aux, bool table);

// The sweeps, called by the run.
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

// Deletes the root device's instance key, its driver key and its ASD
// entries, in root mode. Returns 0.
int removeRootKey();

// The Setup API query texts; a sweep overwrites their last four characters.
const char* usbQueryText();
const char* hidQueryText();
const char* qvQueryText();

}  // namespace qvinst
