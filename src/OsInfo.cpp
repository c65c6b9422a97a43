#include "OsInfo.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "Handles.h"
#include "Platform.h"

namespace qvinst {

OSVERSIONINFOA osVersionInfo{};
bool osInfoPending = true;
bool osAdmin = false;

void initOsInfo() {
  std::memset(&osVersionInfo, 0, sizeof osVersionInfo);
  osInfoPending = true;
  osAdmin = false;
}

bool osQueryInfo() {
  if (!osInfoPending) return true;
  // Cleared first, so a failed query is not repeated.
  osInfoPending = false;
  osVersionInfo.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  const bool versionRead = platform::get().system.GetVersionExA(&osVersionInfo) != 0;
  osAdmin = osIsWin9x() ? true : osCheckAdmin();
  return versionRead;
}

bool osIsWin9x() {
  return osVersionInfo.dwMajorVersion == 4;
}
bool osIsWinMe() {
  return osVersionInfo.dwMajorVersion == 4 && osVersionInfo.dwMinorVersion == 90;
}
bool osIsWinNT5() {
  return osVersionInfo.dwMajorVersion == 5;
}
bool osIsAdmin() {
  return osAdmin;
}

bool osCheckAdmin() {
  platform::System& sys = platform::get().system;
  // Declared in this order so that cleanup frees the buffer, closes the token
  // and frees the SID, in that order.
  platform::UniqueSid adminSid;
  platform::UniqueToken token;
  std::unique_ptr<std::max_align_t[]> buffer;

  HANDLE raw = nullptr;
  if (sys.OpenThreadToken(sys.GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
    token.reset(raw);
  } else if (sys.GetLastError() == static_cast<DWORD>(ERROR_NO_TOKEN)) {
    raw = nullptr;
    if (sys.OpenProcessToken(sys.GetCurrentProcess(), TOKEN_QUERY, &raw)) token.reset(raw);
  }
  if (!token) return false;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  if (!sys.AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid)) {
    return false;
  }
  adminSid.reset(sid);

  // Expected to fail with ERROR_INSUFFICIENT_BUFFER; only the size counts.
  DWORD size = 0;
  sys.GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
  if (size < sizeof(DWORD)) return false;
  const std::size_t cells = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  buffer = std::make_unique<std::max_align_t[]>(cells);  // zero-filled
  if (!sys.GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size)) return false;

  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
  const std::size_t fits = (cells * sizeof(std::max_align_t) - offsetof(TOKEN_GROUPS, Groups)) /
                           sizeof(SID_AND_ATTRIBUTES);
  const SID_AND_ATTRIBUTES* entries = groups->Groups;  // GroupCount of them follow
  for (DWORD i = 0; i < groups->GroupCount && i < fits; ++i) {
    // Being listed is enough: enabled and deny-only count alike.
    if (sys.EqualSid(adminSid.get(), entries[i].Sid)) return true;
  }
  return false;
}

}  // namespace qvinst
