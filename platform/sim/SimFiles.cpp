#include "SimFiles.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "SimPath.h"
#include "SimText.h"

namespace sim {

namespace {

using text::hex;

using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
// FILETIME counts 100-nanosecond ticks from 1601-01-01 00:00 UTC.
constexpr std::chrono::sys_days fileTimeEpoch =
    std::chrono::year_month_day{std::chrono::year{1601}, std::chrono::January, std::chrono::day{1}};

std::uint64_t ticksOf(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

FILETIME fileTimeOf(std::chrono::sys_time<Ticks> when) {
  auto ticks = static_cast<std::uint64_t>((when - fileTimeEpoch).count());
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

std::string normalise(std::string_view path) {
  return path::normaliseFilePath(path, path::Case::Upper);
}

std::string storedForm(std::string_view path) {
  return path::normaliseFilePath(path, path::Case::Stored);
}

std::string parentOf(const std::string& normalised) {
  auto slash = normalised.rfind('\\');
  if (slash == std::string::npos) return std::string();
  if (slash == 2 && normalised[1] == ':') return normalised.substr(0, 3);  // "C:\"
  return normalised.substr(0, slash);
}

bool isDriveRoot(const std::string& normalised) {
  return normalised.size() == 3 && normalised[1] == ':' && normalised[2] == '\\';
}

std::string fileTimeText(const FILETIME* time) {
  return time ? hex(ticksOf(*time)) : std::string("null");
}

}  // namespace

// ---------------------------------------------------------------------------
// Files

void Files::addFile(std::string_view path, FILETIME lastWrite) {
  std::string stored = storedForm(path);
  entries_[normalise(path)] = Entry{stored, false, lastWrite};
}

void Files::addDirectory(std::string_view path) {
  std::string stored = storedForm(path);
  entries_[normalise(path)] = Entry{stored, true, defaultTime()};
}

bool Files::fileExists(std::string_view path) const {
  auto found = entries_.find(normalise(path));
  return found != entries_.end() && !found->second.directory;
}

std::vector<std::string> Files::paths() const {
  std::vector<std::string> out;
  for (const auto& [key, entry] : entries_) out.push_back(entry.path);
  return out;
}

FILETIME Files::defaultTime() {
  using namespace std::chrono;
  return fileTimeOf(sys_days{year{2005} / June / 1} + hours{12});
}

FILETIME Files::timeFromYear(int year) {
  using namespace std::chrono;
  return fileTimeOf(sys_days{std::chrono::year{year} / January / 1});
}

std::optional<Files::Entry> Files::lookup(const std::string& normalised) const {
  if (auto found = entries_.find(normalised); found != entries_.end()) return found->second;
  // A directory that was never added exists while anything lies below it.
  const std::string prefix = normalised + (normalised.ends_with('\\') ? "" : "\\");
  auto below = entries_.lower_bound(prefix);
  if (below != entries_.end() && below->first.starts_with(prefix)) {
    std::string stored = below->second.path.substr(0, normalised.size());
    return Entry{stored, true, defaultTime()};
  }
  return std::nullopt;
}

DWORD Files::missingError(const std::string& normalised) const {
  std::string parent = parentOf(normalised);
  if (parent.empty()) return ERROR_PATH_NOT_FOUND;
  if (isDriveRoot(parent)) return ERROR_FILE_NOT_FOUND;
  auto entry = lookup(parent);
  return entry && entry->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

UINT Files::GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  auto args = [&] { return std::to_string(size); };
  auto body = [&]() -> UINT {
    if (!windowsDir_) return calls_.fail(ERROR_PATH_NOT_FOUND, UINT{0});
    const std::string& dir = *windowsDir_;
    // Too small a buffer gets nothing, and the size it would need with the NUL.
    if (!buffer || dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
  };
  return calls_.value(callId("GetWindowsDirectoryA"), UINT{0}, args, body,
                      [](UINT length) { return length; });
}

// The path is looked up as it stands: '*' and '?' match only themselves.
HANDLE Files::FindFirstFileA(LPCSTR path, WIN32_FIND_DATAA* data) {
  auto args = [&] { return std::string(path ? path : "null"); };
  auto body = [&]() -> HANDLE {
    auto fail = [&](DWORD code) { return calls_.fail(code, INVALID_HANDLE_VALUE); };
    if (!path || !data) return fail(ERROR_INVALID_PARAMETER);
    const std::string key = normalise(path);
    if (key.empty()) return fail(ERROR_PATH_NOT_FOUND);
    auto entry = lookup(key);
    if (!entry) return fail(missingError(key));

    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    data->ftCreationTime = entry->lastWrite;
    data->ftLastAccessTime = entry->lastWrite;
    data->ftLastWriteTime = entry->lastWrite;
    std::string name = entry->path.substr(entry->path.rfind('\\') + 1);
    name.resize(std::min<std::size_t>(name.size(), MAX_PATH - 1));
    std::memcpy(data->cFileName, name.c_str(), name.size() + 1);

    const std::uintptr_t handle = nextFind_++;
    finds_.emplace(handle, entry->path);
    return reinterpret_cast<HANDLE>(handle);
  };
  return calls_.value(callId("FindFirstFileA"), INVALID_HANDLE_VALUE, args, body,
                      [](HANDLE find) { return reinterpret_cast<std::intptr_t>(find); });
}

BOOL Files::FindClose(HANDLE find) {
  auto args = [&] { return hex(reinterpret_cast<std::uintptr_t>(find)); };
  return calls_.boolean(callId("FindClose"), args, [&]() -> DWORD {
    if (finds_.erase(reinterpret_cast<std::uintptr_t>(find)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  });
}

// The machine's time zone is UTC with no daylight saving, so local time is
// the UTC time unchanged.
BOOL Files::FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  auto args = [&] { return fileTimeText(utc); };
  return calls_.boolean(callId("FileTimeToLocalFileTime"), args, [&]() -> DWORD {
    // Times from bit 63 on are not valid file times.
    if (!utc || !local || (utc->dwHighDateTime & 0x80000000u)) return ERROR_INVALID_PARAMETER;
    *local = *utc;
    return ERROR_SUCCESS;
  });
}

BOOL Files::FileTimeToDosDateTime(const FILETIME* time, WORD* dosDate, WORD* dosTime) {
  auto args = [&] { return fileTimeText(time); };
  return calls_.boolean(callId("FileTimeToDosDateTime"), args, [&]() -> DWORD {
    if (!time || !dosDate || !dosTime || (time->dwHighDateTime & 0x80000000u))
      return ERROR_INVALID_PARAMETER;

    using namespace std::chrono;
    const sys_time<Ticks> when = fileTimeEpoch + Ticks{static_cast<std::int64_t>(ticksOf(*time))};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    // A DOS date holds the years 1980 to 2107 in seven bits.
    const int yearNumber = static_cast<int>(date.year());
    if (yearNumber < 1980 || yearNumber > 2107) return ERROR_INVALID_PARAMETER;
    const hh_mm_ss clock{floor<seconds>(when - day)};
    *dosDate =
        static_cast<WORD>(((yearNumber - 1980) << 9) | (static_cast<unsigned>(date.month()) << 5) |
                          static_cast<unsigned>(date.day()));
    *dosTime = static_cast<WORD>((clock.hours().count() << 11) | (clock.minutes().count() << 5) |
                                 (clock.seconds().count() / 2));
    return ERROR_SUCCESS;
  });
}

BOOL Files::DeleteFileA(LPCSTR path) {
  auto args = [&] { return std::string(path ? path : "null"); };
  return calls_.boolean(callId("DeleteFileA"), args, [&]() -> DWORD {
    if (!path) return ERROR_INVALID_PARAMETER;
    const std::string key = normalise(path);
    if (key.empty()) return ERROR_PATH_NOT_FOUND;
    auto entry = lookup(key);
    if (!entry) return missingError(key);
    if (entry->directory) return ERROR_ACCESS_DENIED;

    changes_.push_back(Change{Change::Kind::DeletedFile, entry->path, {}, {}});
    entries_.erase(key);
    return ERROR_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// Dialogs

int Dialogs::showMessageDialog(const platform::MessageDialog& dialog) {
  const bool yesNo = dialog.buttons == platform::MessageDialog::Buttons::YesNo;
  auto args = [&] { return dialog.caption + (yesNo ? " YesNo" : " Ok"); };
  // Made to fail, the dialog could not be shown: 0.
  auto body = [&] {
    int answer = IDCANCEL;
    switch (answer_) {
      case Answer::Yes:
        answer = yesNo ? IDYES : IDOK;
        break;
      case Answer::No:
      case Answer::Esc:  // Esc chooses No on Yes/No, and OK alone
        answer = yesNo ? IDNO : IDOK;
        break;
      case Answer::Close:
        answer = IDCANCEL;
        break;
    }
    shown_.push_back(Shown{dialog, answer});
    return answer;
  };
  return calls_.value(callId("MessageDialog"), 0, args, body, [](int answer) { return answer; });
}

}  // namespace sim
