// The simulated system facts: the Windows version that GetVersionExA reports,
// the process and thread tokens with their groups, security identifiers,
// the last error, and the debug-output channel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../Platform.h"
#include "CallRecorder.h"
#include "WindowsVersion.h"

namespace sim {

// How a simulated access token is set up.
struct TokenSetup {
  bool administrators = true;  // the Administrators group is listed
  bool denyOnly = false;       // ... marked deny-only instead of enabled
};

class System : public platform::System {
public:
  explicit System(CallRecorder& calls) : calls_(calls) {}

  void setVersion(const WindowsVersion& version) { version_ = version; }
  const WindowsVersion& version() const { return version_; }
  // Tokens: none for a thread that does not impersonate.
  void setProcessToken(std::optional<TokenSetup> token) { processToken_ = token; }
  void setThreadToken(std::optional<TokenSetup> token) { threadToken_ = token; }
  void setLastError(DWORD error) { calls_.setLastError(error); }

  // Leak checks: token handles not closed, SIDs not freed.
  std::size_t openTokenCount() const { return tokens_.size(); }
  std::size_t liveSidCount() const { return sids_.size(); }

  // platform::System
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  HANDLE GetCurrentThread() override;
  HANDLE GetCurrentProcess() override;
  BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token) override;
  BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override;
  DWORD GetLastError() override;
  BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) override;
  BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                           DWORD infoLen, DWORD* returnLen) override;
  BOOL EqualSid(PSID a, PSID b) override;
  void* FreeSid(PSID sid) override;
  BOOL CloseHandle(HANDLE handle) override;

private:
  CallRecorder& calls_;
  WindowsVersion version_;
  std::optional<TokenSetup> processToken_ = TokenSetup{};
  std::optional<TokenSetup> threadToken_;
  struct OpenToken {
    TokenSetup tokenInfo;
    DWORD access;
  };
  std::map<HANDLE, OpenToken> tokens_;
  std::map<PSID, std::vector<std::uint8_t>> sids_;  // SID bytes by address
  std::uintptr_t nextToken_ = 0x2000;

  // GetCurrentThread and GetCurrentProcess: a fixed pseudo handle, or null
  // when made to fail.
  HANDLE pseudoHandle(CallId call, HANDLE handle);
  // ERROR_SUCCESS with a new token handle, or the error.
  DWORD openToken(const std::optional<TokenSetup>& tokenInfo, DWORD access, HANDLE* token,
                  DWORD missingError);
};

// Debug output, captured line by line (the trailing line feed dropped).
class Debug : public platform::DebugOutput {
public:
  void OutputDebugStringA(LPCSTR text) override;
  const std::vector<std::string>& lines() const { return lines_; }
  void clear() {
    lines_.clear();
    pending_.clear();
  }
  // Also hands each line to `sink` as it is written (the tool echoes them).
  void setSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

private:
  std::vector<std::string> lines_;
  std::string pending_;  // text after the last line feed
  std::function<void(const std::string&)> sink_;
};

}  // namespace sim
