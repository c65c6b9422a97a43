// The simulated file system (the Windows directory, files and directories
// that exist) and the message dialogs, which record what they showed and
// answer as the machine is told.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../Platform.h"
#include "CallRecorder.h"
#include "Changes.h"

namespace sim {

class Files : public platform::FileSystem {
public:
  Files(CallRecorder& calls, ChangeLog& changes) : calls_(calls), changes_(changes) {}

  // Nothing makes GetWindowsDirectoryA fail.
  void setWindowsDirectory(std::optional<std::string> dir) { windowsDir_ = std::move(dir); }
  // Paths are case-insensitive. A file's last-write time can be set before
  // 1980, which FileTimeToDosDateTime cannot convert.
  void addFile(std::string_view path, FILETIME lastWrite = defaultTime());
  void addDirectory(std::string_view path);
  bool fileExists(std::string_view path) const;  // a file, not a directory
  std::vector<std::string> paths() const;        // stored case, sorted
  std::size_t openFindCount() const { return finds_.size(); }
  static FILETIME defaultTime();           // 2005-06-01 12:00 UTC
  static FILETIME timeFromYear(int year);  // 1 January of that year, UTC

  UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override;
  HANDLE FindFirstFileA(LPCSTR path, WIN32_FIND_DATAA* data) override;
  BOOL FindClose(HANDLE find) override;
  BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) override;
  BOOL FileTimeToDosDateTime(const FILETIME* time, WORD* dosDate, WORD* dosTime) override;
  BOOL DeleteFileA(LPCSTR path) override;

private:
  CallRecorder& calls_;
  ChangeLog& changes_;
  std::optional<std::string> windowsDir_ = std::string("C:\\WINDOWS");
  struct Entry {
    std::string path;  // stored case
    bool directory;
    FILETIME lastWrite;
  };
  std::map<std::string, Entry> entries_;  // by upper-case path
  std::map<std::uintptr_t, std::string> finds_;
  std::uintptr_t nextFind_ = 0x4000;
  // The entry at an upper-case path, or the directory that holds entries.
  std::optional<Entry> lookup(const std::string& normalised) const;
  // ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when the parent is missing.
  DWORD missingError(const std::string& normalised) const;
};

class Dialogs : public platform::Dialogs {
public:
  enum class Answer { Yes, No, Esc, Close };
  struct Shown {
    platform::MessageDialog dialog;
    int answer;
  };

  explicit Dialogs(CallRecorder& calls) : calls_(calls) {}
  void setAnswer(Answer answer) { answer_ = answer; }
  const std::vector<Shown>& shown() const { return shown_; }

  // Yes/No: Yes 6, No 7, Esc 7, close 2. OK: Yes, No and Esc choose OK (1),
  // close 2.
  int showMessageDialog(const platform::MessageDialog& dialog) override;

private:
  CallRecorder& calls_;
  Answer answer_ = Answer::Yes;
  std::vector<Shown> shown_;
};

}  // namespace sim
