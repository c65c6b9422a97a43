#include "SimSystem.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "SimText.h"

namespace sim {

namespace {

using text::hex;

constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorInvalidSid = 1337;
constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr DWORD kMandatoryEnabled = 0x7;  // mandatory, enabled by default, enabled
constexpr DWORD kOwner = 0x8;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

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
  for (std::size_t i = 0; i < bytes[1]; ++i) {
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

std::vector<Group> tokenGroups(const TokenSetup& tokenInfo) {
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

BOOL System::GetVersionExA(OSVERSIONINFOA* info) {
  auto args = [&] { return info ? std::to_string(info->dwOSVersionInfoSize) : "null"; };
  return calls_.boolean(callId("GetVersionExA"), args, [&]() -> DWORD {
    if (!info) return ERROR_INVALID_PARAMETER;
    // OSVERSIONINFOEXA (156 bytes) is known from NT on.
    constexpr DWORD kExSize = 156;
    DWORD size = info->dwOSVersionInfoSize;
    bool extended = size == kExSize && version_.isNtFamily();
    if (size != sizeof(OSVERSIONINFOA) && !extended) return ERROR_INSUFFICIENT_BUFFER;
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
    return ERROR_SUCCESS;
  });
}

HANDLE System::pseudoHandle(CallId call, HANDLE handle) {
  return calls_.value(
      call, HANDLE{nullptr}, noArgs, [&] { return handle; },
      [](HANDLE answer) { return reinterpret_cast<std::intptr_t>(answer); });
}

HANDLE System::GetCurrentThread() {
  return pseudoHandle(callId("GetCurrentThread"), kCurrentThread);
}

HANDLE System::GetCurrentProcess() {
  return pseudoHandle(callId("GetCurrentProcess"), kCurrentProcess);
}

DWORD System::openToken(const std::optional<TokenSetup>& tokenInfo, DWORD access, HANDLE* token,
                        DWORD missingError) {
  if (!token) return ERROR_INVALID_PARAMETER;
  if (!tokenInfo) return missingError;
  HANDLE handle = reinterpret_cast<HANDLE>(nextToken_);
  nextToken_ += 4;
  tokens_.emplace(handle, OpenToken{*tokenInfo, access});
  *token = handle;
  return ERROR_SUCCESS;
}

BOOL System::OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token) {
  auto args = [&] { return tokenAccessText(access) + ' ' + boolText(openAsSelf); };
  return calls_.boolean(callId("OpenThreadToken"), args, [&]() -> DWORD {
    if (thread != kCurrentThread) return ERROR_INVALID_HANDLE;
    return openToken(threadToken_, access, token, ERROR_NO_TOKEN);
  });
}

BOOL System::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  auto args = [&] { return tokenAccessText(access); };
  return calls_.boolean(callId("OpenProcessToken"), args, [&]() -> DWORD {
    if (process != kCurrentProcess) return ERROR_INVALID_HANDLE;
    return openToken(processToken_, access, token, ERROR_ACCESS_DENIED);
  });
}

// Made to fail, it reports the fault's code instead of the last error.
DWORD System::GetLastError() {
  return calls_.status(callId("GetLastError"), noArgs, [&] { return calls_.lastError(); });
}

BOOL System::AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                      DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                      DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  std::vector<std::uint8_t> bytes;
  if (authority && subAuthorityCount <= 8) {
    bytes.resize(8 + 4 * std::size_t(subAuthorityCount));
    bytes[0] = kSidRevision;
    bytes[1] = subAuthorityCount;
    std::memcpy(&bytes[2], authority->Value, 6);
    std::memcpy(&bytes[8], subs, 4 * std::size_t(subAuthorityCount));
  }
  // Taken before the bytes move into the SID table.
  std::string shown = bytes.empty() ? "invalid-sid" : sidText(bytes.data());
  return calls_.boolean(
      callId("AllocateAndInitializeSid"), [&] { return shown; },
      [&]() -> DWORD {
        if (!authority || !sid) return ERROR_INVALID_PARAMETER;
        if (subAuthorityCount > 8) return kErrorInvalidSid;
        // The vector's buffer is the SID; it stays put when the vector moves.
        PSID address = bytes.data();
        sids_.emplace(address, std::move(bytes));
        *sid = address;
        return ERROR_SUCCESS;
      });
}

BOOL System::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                 DWORD infoLen, DWORD* returnLen) {
  auto args = [&] {
    return (infoClass == TokenGroups ? std::string("TokenGroups")
            : infoClass == TokenUser ? std::string("TokenUser")
                                     : std::to_string(int(infoClass))) +
           ' ' + std::to_string(infoLen);
  };
  return calls_.boolean(callId("GetTokenInformation"), args, [&]() -> DWORD {
    auto it = tokens_.find(token);
    if (it == tokens_.end()) return ERROR_INVALID_HANDLE;
    if (!(it->second.access & TOKEN_QUERY)) return ERROR_ACCESS_DENIED;
    if (!returnLen) return kErrorNoAccess;

    std::vector<Group> entries;
    std::size_t arrayOffset = 0;
    if (infoClass == TokenGroups) {
      entries = tokenGroups(it->second.tokenInfo);
      arrayOffset = offsetof(TOKEN_GROUPS, Groups);
    } else if (infoClass == TokenUser) {
      DWORD rid = it->second.tokenInfo.administrators ? 500 : 1000;
      entries.push_back({makeSid(kNtAuthority, {21, 1004336348, 1177238915, 682003330, rid}), 0});
    } else {
      return ERROR_INVALID_PARAMETER;
    }
    std::size_t needed = layoutSize(arrayOffset, entries);
    *returnLen = DWORD(needed);
    if (infoLen < needed) return ERROR_INSUFFICIENT_BUFFER;
    if (!info || reinterpret_cast<std::uintptr_t>(info) % alignof(SID_AND_ATTRIBUTES) != 0)
      return kErrorNoAccess;
    auto* buffer = static_cast<std::uint8_t*>(info);
    if (infoClass == TokenGroups) {
      DWORD count = DWORD(entries.size());
      std::memcpy(buffer, &count, sizeof count);
    }
    writeLayout(buffer, arrayOffset, entries);
    return ERROR_SUCCESS;
  });
}

BOOL System::EqualSid(PSID a, PSID b) {
  auto args = [&] { return sidText(a) + ' ' + sidText(b); };
  auto body = [&] {
    // Like the system, this leaves ERROR_SUCCESS as the last error either way.
    calls_.setLastError(ERROR_SUCCESS);
    std::size_t length = sidLength(a);
    if (!length || length != sidLength(b)) return BOOL(FALSE);
    return BOOL(std::memcmp(a, b, length) == 0);
  };
  return calls_.value(callId("EqualSid"), BOOL(FALSE), args, body, [](BOOL r) { return r; });
}

void* System::FreeSid(PSID sid) {
  auto it = sids_.find(sid);
  // Taken before the SID's bytes are freed.
  std::string shown = it != sids_.end() ? sidText(sid) : (sid ? "unknown-sid" : "null");
  // FreeSid answers null on success and gives the SID back on failure; the
  // record says 0 or 1 so that it does not depend on addresses.
  auto body = [&]() -> void* {
    if (!sid) return nullptr;
    if (it == sids_.end()) return calls_.fail(ERROR_INVALID_PARAMETER, sid);
    sids_.erase(it);
    return nullptr;
  };
  return calls_.value(
      callId("FreeSid"), sid, [&] { return shown; }, body, [](void* r) { return r ? 1 : 0; });
}

BOOL System::CloseHandle(HANDLE handle) {
  auto args = [&] { return hex(reinterpret_cast<std::uintptr_t>(handle)); };
  return calls_.boolean(callId("CloseHandle"), args, [&]() -> DWORD {
    if (handle == kCurrentProcess || handle == kCurrentThread) return ERROR_SUCCESS;
    if (tokens_.erase(handle) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  });
}

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
