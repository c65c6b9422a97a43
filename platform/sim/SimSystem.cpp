#include "SimSystem.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "Machine.h"
#include "SimText.h"

namespace sim {

namespace {

using text::equalNoCase;
using text::hex;

constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorInvalidSid = 1337;
constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr DWORD kMandatoryEnabled = 0x7;  // mandatory, enabled by default, enabled
constexpr DWORD kOwner = 0x8;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

struct VersionName {
  const char* name;
  WindowsVersion version;
};

const VersionName kVersions[] = {
    {"win95", {4, 0, 950, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"win98", {4, 10, 1998, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"winme", {4, 90, 3000, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"nt4", {4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6"}},
    {"win2k", {5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4"}},
    {"winxp", {5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3"}},
    {"vista", {6, 0, 6002, VER_PLATFORM_WIN32_NT, "Service Pack 2"}},
    {"win7", {6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1"}},
    {"win10", {10, 0, 19045, VER_PLATFORM_WIN32_NT, ""}},
};

std::optional<DWORD> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  DWORD value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + DWORD(c - '0');
  }
  return value;
}

std::string boolText(BOOL value) {
  return value ? "TRUE" : "FALSE";
}

std::string tokenAccessText(DWORD access) {
  return access == TOKEN_QUERY ? "TOKEN_QUERY" : hex(access);
}

// A SID as bytes: revision, sub-authority count, the 48-bit authority (big
// endian), then the sub-authorities as 32-bit values in machine order.
std::vector<std::uint8_t> makeSid(const BYTE (&authority)[6], std::initializer_list<DWORD> subs) {
  std::vector<std::uint8_t> sid(8 + 4 * subs.size());
  sid[0] = kSidRevision;
  sid[1] = static_cast<std::uint8_t>(subs.size());
  std::memcpy(&sid[2], authority, 6);
  std::size_t offset = 8;
  for (DWORD sub : subs) {
    std::memcpy(&sid[offset], &sub, 4);
    offset += 4;
  }
  return sid;
}

constexpr BYTE kWorldAuthority[6] = {0, 0, 0, 0, 0, 1};
constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};

// The length of a well-formed SID, or 0.
std::size_t sidLength(const void* sid) {
  if (!sid) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  if (bytes[0] != kSidRevision || bytes[1] > kMaxSubAuthorities) return 0;
  return 8 + 4 * std::size_t(bytes[1]);
}

std::string sidText(const void* sid) {
  if (!sidLength(sid)) return sid ? "invalid-sid" : "null";
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    DWORD sub;
    std::memcpy(&sub, bytes + 8 + 4 * i, 4);
    text += '-' + std::to_string(sub);
  }
  return text;
}

struct Group {
  std::vector<std::uint8_t> sid;
  DWORD attributes;
};

std::vector<Group> tokenGroups(const TokenSpec& tokenInfo) {
  std::vector<Group> groups;
  // A domain group ("None") first, as on a workstation, so that a walk that
  // only looks at the first entry goes wrong.
  groups.push_back(
      {makeSid(kNtAuthority, {21, 1004336348, 1177238915, 682003330, 513}), kMandatoryEnabled});
  groups.push_back({makeSid(kWorldAuthority, {0}), kMandatoryEnabled});
  if (tokenInfo.administrators) {
    groups.push_back(
        {makeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}),
         tokenInfo.denyOnly ? SE_GROUP_USE_FOR_DENY_ONLY : kMandatoryEnabled | kOwner});
  }
  groups.push_back({makeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, 545}), kMandatoryEnabled});
  groups.push_back({makeSid(kNtAuthority, {4}), kMandatoryEnabled});   // INTERACTIVE
  groups.push_back({makeSid(kNtAuthority, {11}), kMandatoryEnabled});  // Authenticated Users
  return groups;
}

// Lays out `entries` as SID_AND_ATTRIBUTES records from `arrayOffset` on,
// followed by the SIDs they point to, inside the caller's buffer.
std::size_t layoutSize(std::size_t arrayOffset, const std::vector<Group>& entries) {
  std::size_t size = arrayOffset + entries.size() * sizeof(SID_AND_ATTRIBUTES);
  for (const Group& entry : entries) size += entry.sid.size();
  return size;
}

void writeLayout(std::uint8_t* buffer, std::size_t arrayOffset, const std::vector<Group>& entries) {
  std::size_t sidOffset = arrayOffset + entries.size() * sizeof(SID_AND_ATTRIBUTES);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SID_AND_ATTRIBUTES record{buffer + sidOffset, entries[i].attributes};
    std::memcpy(buffer + arrayOffset + i * sizeof record, &record, sizeof record);
    std::memcpy(buffer + sidOffset, entries[i].sid.data(), entries[i].sid.size());
    sidOffset += entries[i].sid.size();
  }
}

}  // namespace

std::optional<WindowsVersion> WindowsVersion::fromName(std::string_view name) {
  for (const VersionName& known : kVersions)
    if (equalNoCase(name, known.name)) return known.version;
  std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto major = parseNumber(name.substr(0, dot));
  auto minor = parseNumber(name.substr(dot + 1));
  if (!major || !minor) return std::nullopt;
  WindowsVersion version;
  version.major = *major;
  version.minor = *minor;
  version.build = 0;
  version.platformId = *major >= 5 ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
  return version;
}

System::System(Machine& machine) : machine_(machine) {}

BOOL System::fail(DWORD error) {
  lastError_ = error;
  return FALSE;
}

BOOL System::GetVersionExA(OSVERSIONINFOA* info) {
  const char* name = "GetVersionExA";
  std::string args = info ? std::to_string(info->dwOSVersionInfoSize) : "null";
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    if (!info) return fail(ERROR_INVALID_PARAMETER);
    // OSVERSIONINFOEXA (156 bytes) is known from NT on.
    constexpr DWORD kExSize = 156;
    DWORD size = info->dwOSVersionInfoSize;
    bool extended = size == kExSize && version_.isNtFamily();
    if (size != sizeof(OSVERSIONINFOA) && !extended) return fail(ERROR_INSUFFICIENT_BUFFER);
    info->dwMajorVersion = version_.major;
    info->dwMinorVersion = version_.minor;
    // The version-4 family puts major and minor into the build number's high word.
    info->dwBuildNumber =
        version_.isNtFamily()
            ? version_.build
            : (version_.major << 24) | ((version_.minor & 0xFF) << 16) | (version_.build & 0xFFFF);
    info->dwPlatformId = version_.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, version_.servicePack.c_str(), sizeof info->szCSDVersion - 1);
    if (extended) {
      auto* tail = reinterpret_cast<std::uint8_t*>(info) + sizeof(OSVERSIONINFOA);
      std::memset(tail, 0, kExSize - sizeof(OSVERSIONINFOA));
      tail[6] = 1;  // wProductType: VER_NT_WORKSTATION
    }
    return BOOL(TRUE);
  }();
  machine_.log.record(name, std::move(args), result);
  return result;
}

HANDLE System::pseudoHandle(const char* call, HANDLE handle) {
  if (auto code = machine_.log.failure(call)) {
    lastError_ = *code;
    handle = nullptr;
  }
  machine_.log.record(call, "", reinterpret_cast<std::intptr_t>(handle));
  return handle;
}

HANDLE System::GetCurrentThread() {
  return pseudoHandle("GetCurrentThread", kCurrentThread);
}

HANDLE System::GetCurrentProcess() {
  return pseudoHandle("GetCurrentProcess", kCurrentProcess);
}

BOOL System::openToken(const std::optional<TokenSpec>& tokenInfo, DWORD access, HANDLE* token,
                       DWORD missingError) {
  if (!token) return fail(ERROR_INVALID_PARAMETER);
  if (!tokenInfo) return fail(missingError);
  HANDLE handle = reinterpret_cast<HANDLE>(nextToken_);
  nextToken_ += 4;
  tokens_.emplace(handle, OpenToken{*tokenInfo, access});
  *token = handle;
  return TRUE;
}

BOOL System::OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token) {
  const char* name = "OpenThreadToken";
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    if (thread != kCurrentThread) return fail(ERROR_INVALID_HANDLE);
    return openToken(threadToken_, access, token, ERROR_NO_TOKEN);
  }();
  machine_.log.record(name, tokenAccessText(access) + ' ' + boolText(openAsSelf), result);
  return result;
}

BOOL System::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  const char* name = "OpenProcessToken";
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    if (process != kCurrentProcess) return fail(ERROR_INVALID_HANDLE);
    return openToken(processToken_, access, token, ERROR_ACCESS_DENIED);
  }();
  machine_.log.record(name, tokenAccessText(access), result);
  return result;
}

DWORD System::GetLastError() {
  DWORD result = lastError_;
  if (auto code = machine_.log.failure("GetLastError")) result = *code;
  machine_.log.record("GetLastError", "", result);
  return result;
}

BOOL System::AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                      DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                      DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  const char* name = "AllocateAndInitializeSid";
  const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  std::vector<std::uint8_t> bytes;
  if (authority && subAuthorityCount <= 8) {
    bytes.resize(8 + 4 * std::size_t(subAuthorityCount));
    bytes[0] = kSidRevision;
    bytes[1] = subAuthorityCount;
    std::memcpy(&bytes[2], authority->Value, 6);
    std::memcpy(&bytes[8], subs, 4 * std::size_t(subAuthorityCount));
  }
  std::string args = bytes.empty() ? "invalid-sid" : sidText(bytes.data());
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    if (!authority || !sid) return fail(ERROR_INVALID_PARAMETER);
    if (subAuthorityCount > 8) return fail(kErrorInvalidSid);
    // The vector's buffer is the SID; it stays put when the vector moves.
    PSID address = bytes.data();
    sids_.emplace(address, std::move(bytes));
    *sid = address;
    return BOOL(TRUE);
  }();
  machine_.log.record(name, std::move(args), result);
  return result;
}

BOOL System::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                 DWORD infoLen, DWORD* returnLen) {
  const char* name = "GetTokenInformation";
  std::string args = (infoClass == TokenGroups ? std::string("TokenGroups")
                      : infoClass == TokenUser ? std::string("TokenUser")
                                               : std::to_string(int(infoClass))) +
                     ' ' + std::to_string(infoLen);
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    auto it = tokens_.find(token);
    if (it == tokens_.end()) return fail(ERROR_INVALID_HANDLE);
    if (!(it->second.access & TOKEN_QUERY)) return fail(ERROR_ACCESS_DENIED);
    if (!returnLen) return fail(kErrorNoAccess);

    std::vector<Group> entries;
    std::size_t arrayOffset = 0;
    if (infoClass == TokenGroups) {
      entries = tokenGroups(it->second.tokenInfo);
      arrayOffset = offsetof(TOKEN_GROUPS, Groups);
    } else if (infoClass == TokenUser) {
      DWORD rid = it->second.tokenInfo.administrators ? 500 : 1000;
      entries.push_back({makeSid(kNtAuthority, {21, 1004336348, 1177238915, 682003330, rid}), 0});
    } else {
      return fail(ERROR_INVALID_PARAMETER);
    }
    std::size_t needed = layoutSize(arrayOffset, entries);
    *returnLen = DWORD(needed);
    if (infoLen < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!info || reinterpret_cast<std::uintptr_t>(info) % alignof(SID_AND_ATTRIBUTES) != 0)
      return fail(kErrorNoAccess);
    auto* buffer = static_cast<std::uint8_t*>(info);
    if (infoClass == TokenGroups) {
      DWORD count = DWORD(entries.size());
      std::memcpy(buffer, &count, sizeof count);
    }
    writeLayout(buffer, arrayOffset, entries);
    return BOOL(TRUE);
  }();
  machine_.log.record(name, std::move(args), result);
  return result;
}

BOOL System::EqualSid(PSID a, PSID b) {
  const char* name = "EqualSid";
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    // Like the system, this leaves ERROR_SUCCESS as the last error either way.
    lastError_ = ERROR_SUCCESS;
    std::size_t length = sidLength(a);
    if (!length || length != sidLength(b)) return BOOL(FALSE);
    return BOOL(std::memcmp(a, b, length) == 0);
  }();
  machine_.log.record(name, sidText(a) + ' ' + sidText(b), result);
  return result;
}

void* System::FreeSid(PSID sid) {
  const char* name = "FreeSid";
  auto it = sids_.find(sid);
  std::string args = it != sids_.end() ? sidText(sid) : (sid ? "unknown-sid" : "null");
  // FreeSid answers null on success and gives the SID back on failure; the
  // record says 0 or 1 so that it does not depend on addresses.
  void* result = [&]() -> void* {
    if (auto code = machine_.log.failure(name)) {
      lastError_ = *code;
      return sid;
    }
    if (!sid) return nullptr;
    if (it == sids_.end()) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return sid;
    }
    sids_.erase(it);
    return nullptr;
  }();
  machine_.log.record(name, std::move(args), result ? 1 : 0);
  return result;
}

BOOL System::CloseHandle(HANDLE handle) {
  const char* name = "CloseHandle";
  BOOL result = [&] {
    if (auto code = machine_.log.failure(name)) return fail(*code);
    if (handle == kCurrentProcess || handle == kCurrentThread) return BOOL(TRUE);
    if (tokens_.erase(handle) == 0) return fail(ERROR_INVALID_HANDLE);
    return BOOL(TRUE);
  }();
  machine_.log.record(name, hex(reinterpret_cast<std::uintptr_t>(handle)), result);
  return result;
}

Debug::Debug(Machine& machine) : machine_(machine) {}

void Debug::OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  pending_ += text;
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    lines_.push_back(pending_.substr(start, end - start));
    if (sink_) sink_(lines_.back());
  }
  pending_.erase(0, start);
}

}  // namespace sim
