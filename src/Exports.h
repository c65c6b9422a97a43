// The sixteen exported entry points. Every one has the Windows calling form
// (the callee removes its three 32-bit arguments) and returns a 32-bit signed
// result; none lets an exception or crash reach its caller.
#pragma once

#include <cstdint>

#include "WinTypes.h"

extern "C" {
std::int32_t WINAPI UninstInitialize(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI UninstUnInitialize(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI CreateRootDevice(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI UpdateDevices(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI RemoveRootDevice(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI RemoveUsbDevices(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI RemovePedalDevices(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI RemoveAuxDevices(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI IsWin2k(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI IsWinMe(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI IsWinXp(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI IsAdmin(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI NeedReboot(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI InitModule(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI SetTargetDir(HWND wnd, std::int32_t unused, const char* text);
std::int32_t WINAPI RootDeviceCount(HWND wnd, std::int32_t unused, const char* text);
}

namespace qvinst {

using ExportFn = std::int32_t(WINAPI*)(HWND, std::int32_t, const char*);

struct ExportEntry {
  int ordinal;
  const char* name;
  ExportFn fn;
};

// The exports by ordinal (1 to 16), as the library publishes them.
extern const ExportEntry exportTable[16];

// What loading the library does: every unit's state back to its load-time
// value (tracing as built, platform information pending, lists gone).
void onLoad();

}  // namespace qvinst
