// The Windows types, constants and records that the library's units use.
// On Windows they come from the system headers; elsewhere they are declared
// here with the same names, layouts and values, so that one source builds on
// both sides of the platform seam.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h must come first.
#include <cfgmgr32.h>
#include <setupapi.h>

#else  // the simulated Windows

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using CHAR = char;
using ULONG_PTR = std::uintptr_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using PSID = void*;
using REGSAM = DWORD;
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using HDEVINFO = void*;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct HWND__;
using HWND = HWND__*;

#define WINAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)

// Win32 error codes.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_NO_MORE_FILES = 18;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_NO_TOKEN = 1008;
constexpr LONG ERROR_INVALID_USER_BUFFER = 1784;

// Registry access rights and value types.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM WRITE_DAC = 0x00040000;
constexpr REGSAM WRITE_OWNER = 0x00080000;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_RESOURCE_LIST = 8;
constexpr DWORD REG_QWORD = 11;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

// Version and token.
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};

constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_GROUP_ENABLED = 0x00000004;
constexpr DWORD SE_GROUP_USE_FOR_DENY_ONLY = 0x00000010;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
#define SECURITY_NT_AUTHORITY \
  {                           \
    { 0, 0, 0, 0, 0, 5 }      \
  }

struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};

struct TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
};

enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenGroups = 2 };

// Setup API.
constexpr DWORD DIGCF_DEFAULT = 0x01;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD DIGCF_PROFILE = 0x08;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

// Configuration Manager.
constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_DEFAULT = 0x01;
constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x02;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_INVALID_DEVINST = CR_INVALID_DEVNODE;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
constexpr CONFIGRET CR_NO_SUCH_DEVINST = CR_NO_SUCH_DEVNODE;
constexpr CONFIGRET CR_ALREADY_SUCH_DEVNODE = 0x10;
constexpr CONFIGRET CR_ALREADY_SUCH_DEVINST = CR_ALREADY_SUCH_DEVNODE;
constexpr CONFIGRET CR_INVALID_DEVICE_ID = 0x1E;
constexpr CONFIGRET CR_ACCESS_DENIED = 0x33;
constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0;
constexpr ULONG CM_CREATE_DEVNODE_NORMAL = 0;

// Files.
constexpr UINT MAX_PATH = 260;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};

// Dialog answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

#endif  // _WIN32
