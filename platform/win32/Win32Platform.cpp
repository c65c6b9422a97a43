// The real platform: every seam method passes straight through to the ANSI
// Win32 function of the same name. Registry, token, version, file and debug
// output functions are linked as usual; the Setup API and the Configuration
// Manager are bound when first used, so that the DLL still loads on a system
// that lacks them, where their calls then fail like any failed call.
#include "Handles.h"
#include "Platform.h"
#include "Win32Dialogs.h"
#include "Win32Module.h"

namespace {

struct ModuleTraits {
  static HMODULE empty() { return nullptr; }
  static void close(HMODULE module) {
    // At process exit the loader may already have torn the library down.
    if (!win32::processTerminating()) FreeLibrary(module);
  }
};
using UniqueModule = platform::UniqueAny<HMODULE, ModuleTraits>;

// A system DLL loaded from the system directory (never from the caller's
// directory) on the first request, and kept while this DLL stays loaded.
class SystemLibrary {
public:
  explicit SystemLibrary(const char* fileName) : fileName_(fileName) {}

  // The named function cast to the type of its declaration, or null when
  // the library or the function is missing.
  template <typename Fn>
  Fn proc(const char* name) {
    if (!tried_) {
      tried_ = true;
      char path[MAX_PATH + 16] = {};
      const UINT length = GetSystemDirectoryA(path, MAX_PATH);
      if (length == 0 || length >= MAX_PATH) return nullptr;
      lstrcatA(path, "\\");
      lstrcatA(path, fileName_);
      module_.reset(LoadLibraryA(path));
    }
    if (!module_) return nullptr;
    // Through the generic function pointer type, which converts to any.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_.get(), name)));
  }

private:
  const char* fileName_;
  bool tried_ = false;
  UniqueModule module_;
};

class Win32Registry final : public platform::Registry {
public:
  LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired,
                     PHKEY result) override {
    return ::RegOpenKeyExA(key, subKey, options, desired, result);
  }
  LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLen, LPDWORD reserved,
                        LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                        LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptorLen,
                        FILETIME* lastWriteTime) override {
    return ::RegQueryInfoKeyA(key, className, classLen, reserved, subKeys, maxSubKeyLen,
                              maxClassLen, values, maxValueNameLen, maxValueLen,
                              securityDescriptorLen, lastWriteTime);
  }
  LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                     LPSTR className, LPDWORD classLen, FILETIME* lastWriteTime) override {
    return ::RegEnumKeyExA(key, index, name, nameLen, reserved, className, classLen, lastWriteTime);
  }
  LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                     LPDWORD type, LPBYTE data, LPDWORD dataLen) override {
    return ::RegEnumValueA(key, index, name, nameLen, reserved, type, data, dataLen);
  }
  LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                        LPDWORD dataLen) override {
    return ::RegQueryValueExA(key, name, reserved, type, data, dataLen);
  }
  LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override { return ::RegDeleteKeyA(key, subKey); }
  LONG RegDeleteValueA(HKEY key, LPCSTR name) override { return ::RegDeleteValueA(key, name); }
  LONG RegFlushKey(HKEY key) override { return ::RegFlushKey(key); }
  LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }
};

class Win32System final : public platform::System {
public:
  BOOL GetVersionExA(OSVERSIONINFOA* info) override { return ::GetVersionExA(info); }
  HANDLE GetCurrentThread() override { return ::GetCurrentThread(); }
  HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
  BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token) override {
    return ::OpenThreadToken(thread, access, openAsSelf, token);
  }
  BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override {
    return ::OpenProcessToken(process, access, token);
  }
  DWORD GetLastError() override { return ::GetLastError(); }
  BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) override {
    return ::AllocateAndInitializeSid(authority, subAuthorityCount, sub0, sub1, sub2, sub3, sub4,
                                      sub5, sub6, sub7, sid);
  }
  BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                           DWORD infoLen, DWORD* returnLen) override {
    return ::GetTokenInformation(token, infoClass, info, infoLen, returnLen);
  }
  BOOL EqualSid(PSID a, PSID b) override { return ::EqualSid(a, b); }
  void* FreeSid(PSID sid) override { return ::FreeSid(sid); }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
};

class Win32DebugOutput final : public platform::DebugOutput {
public:
  void OutputDebugStringA(LPCSTR text) override { ::OutputDebugStringA(text); }
};

class Win32SetupApi final : public platform::SetupApi {
public:
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                DWORD flags) override {
    auto fn = setupApi_.proc<decltype(&::SetupDiGetClassDevsA)>("SetupDiGetClassDevsA");
    if (fn == nullptr) return missing<HDEVINFO>(INVALID_HANDLE_VALUE);
    return fn(classGuid, enumerator, parent, flags);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override {
    auto fn = setupApi_.proc<decltype(&::SetupDiEnumDeviceInfo)>("SetupDiEnumDeviceInfo");
    if (fn == nullptr) return missing<BOOL>(FALSE);
    return fn(set, index, data);
  }
  BOOL SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) override {
    auto fn = setupApi_.proc<decltype(&::SetupDiRemoveDevice)>("SetupDiRemoveDevice");
    if (fn == nullptr) return missing<BOOL>(FALSE);
    return fn(set, data);
  }
  BOOL SetupDiDeleteDeviceInfo(HDEVINFO set, SP_DEVINFO_DATA* data) override {
    auto fn = setupApi_.proc<decltype(&::SetupDiDeleteDeviceInfo)>("SetupDiDeleteDeviceInfo");
    if (fn == nullptr) return missing<BOOL>(FALSE);
    return fn(set, data);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    auto fn =
        setupApi_.proc<decltype(&::SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
    if (fn == nullptr) return missing<BOOL>(FALSE);
    return fn(set);
  }

private:
  // A missing function fails as the real one would, with a last error that
  // says why.
  template <typename T>
  static T missing(T failure) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return failure;
  }

  SystemLibrary setupApi_{"setupapi.dll"};
};

class Win32ConfigManager final : public platform::ConfigManager {
public:
  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, LPCSTR deviceId, ULONG flags) override {
    auto fn = cfgMgr_.proc<decltype(&::CM_Locate_DevNodeA)>("CM_Locate_DevNodeA");
    if (fn == nullptr) return CR_FAILURE;
    // The declaration takes a writable device ID but never writes it.
    return fn(node, const_cast<DEVINSTID_A>(deviceId), flags);
  }
  CONFIGRET CM_Create_DevNodeA(DEVINST* node, LPCSTR deviceId, DEVINST parent,
                               ULONG flags) override {
    auto fn = cfgMgr_.proc<decltype(&::CM_Create_DevNodeA)>("CM_Create_DevNodeA");
    if (fn == nullptr) return CR_FAILURE;
    return fn(node, const_cast<DEVINSTID_A>(deviceId), parent, flags);
  }
  CONFIGRET CM_Remove_SubTree(DEVINST node, ULONG flags) override {
    auto fn = cfgMgr_.proc<decltype(&::CM_Remove_SubTree)>("CM_Remove_SubTree");
    if (fn == nullptr) return CR_FAILURE;
    return fn(node, flags);
  }

private:
  SystemLibrary cfgMgr_{"cfgmgr32.dll"};
};

class Win32FileSystem final : public platform::FileSystem {
public:
  UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override {
    return ::GetWindowsDirectoryA(buffer, size);
  }
  HANDLE FindFirstFileA(LPCSTR path, WIN32_FIND_DATAA* data) override {
    return ::FindFirstFileA(path, data);
  }
  BOOL FindClose(HANDLE find) override { return ::FindClose(find); }
  BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) override {
    return ::FileTimeToLocalFileTime(utc, local);
  }
  BOOL FileTimeToDosDateTime(const FILETIME* time, WORD* dosDate, WORD* dosTime) override {
    return ::FileTimeToDosDateTime(time, dosDate, dosTime);
  }
  BOOL DeleteFileA(LPCSTR path) override { return ::DeleteFileA(path); }
};

Win32Registry registry_;
Win32System system_;
Win32DebugOutput debug_;
Win32SetupApi setupApi_;
Win32ConfigManager configManager_;
Win32FileSystem files_;
win32::Win32Dialogs dialogs_;

platform::Platform platform_{registry_,      system_, debug_,  setupApi_,
                             configManager_, files_,  dialogs_};

}  // namespace

platform::Platform& platform::get() {
  return platform_;
}
