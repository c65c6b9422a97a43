#include "SimFiles.h"

#include "Machine.h"

namespace sim {

Files::Files(Machine& machine) : machine_(machine) {}

void Files::addFile(std::string_view, FILETIME) {}
void Files::addDirectory(std::string_view) {}
bool Files::fileExists(std::string_view) const {
  return false;
}
std::vector<std::string> Files::paths() const {
  return {};
}
FILETIME Files::defaultTime() {
  return {};
}
FILETIME Files::timeFromYear(int) {
  return {};
}
UINT Files::GetWindowsDirectoryA(LPSTR, UINT) {
  return 0;
}
HANDLE Files::FindFirstFileA(LPCSTR, WIN32_FIND_DATAA*) {
  return INVALID_HANDLE_VALUE;
}
BOOL Files::FindClose(HANDLE) {
  return FALSE;
}
BOOL Files::FileTimeToLocalFileTime(const FILETIME*, FILETIME*) {
  return FALSE;
}
BOOL Files::FileTimeToDosDateTime(const FILETIME*, WORD*, WORD*) {
  return FALSE;
}
BOOL Files::DeleteFileA(LPCSTR) {
  return FALSE;
}

Dialogs::Dialogs(Machine& machine) : machine_(machine) {}

int Dialogs::showMessageDialog(const platform::MessageDialog&) {
  return IDCANCEL;
}

}  // namespace sim
