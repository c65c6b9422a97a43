// The seam between the library's logic and Windows. Each interface stands for
// one API family; its methods are named after, take the arguments of and
// return the raw status of the Win32 calls they stand for, so that the Win32
// implementation is a one-line pass-through and the call order the library
// makes stays visible where it makes it. Failures are values (LONG, BOOL with
// the last error kept, CONFIGRET), never exceptions.
#pragma once

#include <string>

#include "WinTypes.h"

namespace platform {

// advapi32 registry functions (ANSI forms).
class Registry {
public:
  virtual ~Registry() = default;
  virtual LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired,
                             PHKEY result) = 0;
  virtual LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLen, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                LPDWORD securityDescriptorLen, FILETIME* lastWriteTime) = 0;
  virtual LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                             LPSTR className, LPDWORD classLen, FILETIME* lastWriteTime) = 0;
  virtual LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD dataLen) = 0;
  virtual LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataLen) = 0;
  virtual LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) = 0;
  virtual LONG RegDeleteValueA(HKEY key, LPCSTR name) = 0;
  virtual LONG RegFlushKey(HKEY key) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;
};

// Version, token and security identifier functions (kernel32, advapi32).
class System {
public:
  virtual ~System() = default;
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;
  virtual HANDLE GetCurrentThread() = 0;
  virtual HANDLE GetCurrentProcess() = 0;
  virtual BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token) = 0;
  virtual BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) = 0;
  virtual DWORD GetLastError() = 0;
  virtual BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                        DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                        DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) = 0;
  virtual BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                   DWORD infoLen, DWORD* returnLen) = 0;
  virtual BOOL EqualSid(PSID a, PSID b) = 0;
  virtual void* FreeSid(PSID sid) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
};

// The debug-output channel.
class DebugOutput {
public:
  virtual ~DebugOutput() = default;
  virtual void OutputDebugStringA(LPCSTR text) = 0;
};

// SetupApi.dll. A function the system lacks behaves as a failed call.
class SetupApi {
public:
  virtual ~SetupApi() = default;
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                        DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) = 0;
  virtual BOOL SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) = 0;
  virtual BOOL SetupDiDeleteDeviceInfo(HDEVINFO set, SP_DEVINFO_DATA* data) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
};

// cfgmgr32.dll. A function the system lacks answers CR_FAILURE.
class ConfigManager {
public:
  virtual ~ConfigManager() = default;
  virtual CONFIGRET CM_Locate_DevNodeA(DEVINST* node, LPCSTR deviceId, ULONG flags) = 0;
  virtual CONFIGRET CM_Create_DevNodeA(DEVINST* node, LPCSTR deviceId, DEVINST parent,
                                       ULONG flags) = 0;
  virtual CONFIGRET CM_Remove_SubTree(DEVINST node, ULONG flags) = 0;
};

// The Windows directory and the few file functions the uninstaller needs.
class FileSystem {
public:
  virtual ~FileSystem() = default;
  virtual UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) = 0;
  virtual HANDLE FindFirstFileA(LPCSTR path, WIN32_FIND_DATAA* data) = 0;
  virtual BOOL FindClose(HANDLE find) = 0;
  virtual BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) = 0;
  virtual BOOL FileTimeToDosDateTime(const FILETIME* time, WORD* dosDate, WORD* dosTime) = 0;
  virtual BOOL DeleteFileA(LPCSTR path) = 0;
};

// A modal message dialog, centred on the screen and owned by no window.
struct MessageDialog {
  enum class Buttons { YesNo, Ok };
  std::string caption;
  std::string text;
  Buttons buttons = Buttons::Ok;
};

class Dialogs {
public:
  virtual ~Dialogs() = default;
  // The answer: IDYES, IDNO (also Esc on Yes/No), IDOK, or IDCANCEL when the
  // window's close button ended it.
  virtual int showMessageDialog(const MessageDialog& dialog) = 0;
};

struct Platform {
  Registry& registry;
  System& system;
  DebugOutput& debug;
  SetupApi& setupApi;
  ConfigManager& configManager;
  FileSystem& files;
  Dialogs& dialogs;
};

// The platform the library runs on: the real one in the Windows build, the
// machine installed by the simulation elsewhere.
Platform& get();

}  // namespace platform
