// The Windows-side test driver: loads QVInst98.dll the way its callers do
// and reports what the exports answer, one line per call, so that the
// shell harness can compare the lines with what it expects.
//
//   qvprobe [OPTIONS] exports DLL
//       checks the export table: all sixteen names resolve, each to the same
//       address as its ordinal; ordinal 17 and decorated names resolve to
//       nothing. Prints one line per failure and exits with 1 on any.
//   qvprobe [OPTIONS] call DLL STEP...
//       STEP is NAME, NAME=TEXT (the third argument) or "reload" (unload and
//       load the DLL again). Prints NAME=RESULT for every call.
//   qvprobe [OPTIONS] dialog yesno|ok CAPTION TEXT
//       shows the message dialog of the Windows platform layer directly and
//       prints answer=N.
//
// OPTIONS: --trace FILE appends every debug-output string written in the
// process to FILE as is; --report-dialog FILE writes, for every dialog the
// process shows, its facts and the screen points of its buttons to FILE.1,
// FILE.2, ..., so that the harness can click them; --hwnd desktop passes
// the desktop window instead of null as the first argument.
//
// On the 32-bit build every call goes through a thunk that checks that the
// export removed its 12 bytes of arguments and kept EBX, ESI, EDI and EBP.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Platform.h"
#include "Win32Dialogs.h"
#include "Win32Module.h"

namespace {

using ExportFn = std::int32_t(WINAPI*)(HWND, std::int32_t, const char*);

struct ExportName {
  int ordinal;
  const char* name;
};

constexpr ExportName kExports[] = {
    {1, "UninstInitialize"},   {2, "UninstUnInitialize"}, {3, "CreateRootDevice"},
    {4, "UpdateDevices"},      {5, "RemoveRootDevice"},   {6, "RemoveUsbDevices"},
    {7, "RemovePedalDevices"}, {8, "RemoveAuxDevices"},   {9, "IsWin2k"},
    {10, "IsWinMe"},           {11, "IsWinXp"},           {12, "IsAdmin"},
    {13, "NeedReboot"},        {14, "InitModule"},        {15, "SetTargetDir"},
    {16, "RootDeviceCount"},
};

// The second argument: no export may depend on it, so it is never zero here.
constexpr std::int32_t kUnusedArgument = 0x5A5A5A5A;

FARPROC procByOrdinal(HMODULE module, int ordinal) {
  return GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
}

// A library loaded for the scope of a command.
class Library {
public:
  explicit Library(const char* path) : path_(path) { load(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() { unload(); }
  HMODULE get() const { return module_; }
  bool reload() {
    unload();
    return load();
  }

private:
  bool load() {
    module_ = LoadLibraryA(path_);
    if (module_ == nullptr) std::printf("FAIL: LoadLibrary %s: error %lu\n", path_, GetLastError());
    return module_ != nullptr;
  }
  void unload() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  const char* path_;
  HMODULE module_ = nullptr;
};

int checkExports(HMODULE module) {
  int failures = 0;
  for (const ExportName& e : kExports) {
    FARPROC byName = GetProcAddress(module, e.name);
    FARPROC byOrdinal = procByOrdinal(module, e.ordinal);
    if (byName == nullptr) {
      std::printf("FAIL: %s not exported by name\n", e.name);
      ++failures;
    } else if (byName != byOrdinal) {
      std::printf("FAIL: %s is not ordinal %d\n", e.name, e.ordinal);
      ++failures;
    }
    const std::string decorated = std::string(e.name) + "@12";
    for (const std::string& wrong : {decorated, "_" + decorated}) {
      if (GetProcAddress(module, wrong.c_str()) != nullptr) {
        std::printf("FAIL: %s resolves\n", wrong.c_str());
        ++failures;
      }
    }
  }
  for (int ordinal : {17, 18}) {
    if (procByOrdinal(module, ordinal) != nullptr) {
      std::printf("FAIL: ordinal %d resolves\n", ordinal);
      ++failures;
    }
  }
  std::printf("exports checked: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}

FILE* traceFile = nullptr;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C; a vectored handler sees it
// first, without a debugger, with the exact bytes the library wrote.
LONG CALLBACK captureDebugOutput(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const auto length = static_cast<std::size_t>(record->ExceptionInformation[0]);
  const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
  // The length counts the terminating zero.
  if (traceFile != nullptr && length > 0) {
    std::fwrite(text, 1, length - 1, traceFile);
    std::fflush(traceFile);
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

#if defined(__i386__)
// qvCheckedCall(fn, wnd, unused, text): calls fn as stdcall with known values
// in the callee-saved registers and records in qvConventionKept whether the
// callee kept them and removed exactly its 12 bytes of arguments.
extern "C" {
std::uint32_t qvSavedEsp;
std::int32_t qvConventionKept;
std::int32_t qvCheckedCall(ExportFn fn, HWND wnd, std::int32_t unused, const char* text);
}
asm(R"(
  .text
  .globl _qvCheckedCall
_qvCheckedCall:
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 32(%esp), %ecx       # text
  pushl %ecx
  movl 32(%esp), %ecx       # unused
  pushl %ecx
  movl 32(%esp), %ecx       # wnd
  pushl %ecx
  movl 32(%esp), %eax       # fn
  movl %esp, _qvSavedEsp
  movl $0x11111111, %ebx
  movl $0x22222222, %esi
  movl $0x33333333, %edi
  movl $0x44444444, %ebp
  call *%eax
  movl $1, %ecx
  cmpl $0x11111111, %ebx
  jne 1f
  cmpl $0x22222222, %esi
  jne 1f
  cmpl $0x33333333, %edi
  jne 1f
  cmpl $0x44444444, %ebp
  jne 1f
  movl _qvSavedEsp, %edx
  addl $12, %edx
  cmpl %edx, %esp
  je 2f
1:
  xorl %ecx, %ecx
2:
  movl %ecx, _qvConventionKept
  movl _qvSavedEsp, %esp
  addl $12, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
#endif

namespace {

bool callExport(ExportFn fn, HWND wnd, const char* text, std::int32_t* result) {
#if defined(__i386__)
  qvConventionKept = 0;
  *result = qvCheckedCall(fn, wnd, kUnusedArgument, text);
  return qvConventionKept == 1;
#else
  // There is one calling convention on x86-64: nothing to check.
  *result = fn(wnd, kUnusedArgument, text);
  return true;
#endif
}

int runCalls(Library& library, HWND wnd, int count, char** steps) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::string step = steps[i];
    if (step == "reload") {
      if (!library.reload()) return 1;
      std::printf("reload\n");
      continue;
    }
    const std::size_t equals = step.find('=');
    const std::string name = step.substr(0, equals);
    const std::string text = equals == std::string::npos ? "" : step.substr(equals + 1);
    auto fn = reinterpret_cast<ExportFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(library.get(), name.c_str())));
    if (fn == nullptr) {
      std::printf("FAIL: %s not found\n", name.c_str());
      return 1;
    }
    std::int32_t result = 0;
    if (!callExport(fn, wnd, text.c_str(), &result)) {
      std::printf("FAIL: %s broke the calling convention\n", name.c_str());
      ++failures;
    }
    std::printf("%s=%ld\n", name.c_str(), static_cast<long>(result));
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}

// Watches for the dialogs of this process from a second thread and writes
// what the harness needs to drive and check them. The facts are asked from
// the dialog itself through messages, so they are what the user sees.
class DialogReporter {
public:
  explicit DialogReporter(const char* path) : path_(path) {
    thread_ = CreateThread(nullptr, 0, &DialogReporter::run, this, 0, nullptr);
  }
  DialogReporter(const DialogReporter&) = delete;
  DialogReporter& operator=(const DialogReporter&) = delete;
  ~DialogReporter() {
    if (thread_ == nullptr) return;
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }

private:
  static BOOL CALLBACK findDialog(HWND wnd, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(wnd, &process);
    char className[16] = {};
    GetClassNameA(wnd, className, sizeof className);
    if (process == GetCurrentProcessId() && IsWindowVisible(wnd) &&
        std::strcmp(className, "#32770") == 0) {
      *reinterpret_cast<HWND*>(found) = wnd;
      return FALSE;
    }
    return TRUE;
  }

  static DWORD WINAPI run(void* self) {
    static_cast<DialogReporter*>(self)->watch();
    return 0;
  }

  void watch() {
    int count = 0;
    HWND reported = nullptr;
    while (!stop_) {
      HWND dlg = nullptr;
      EnumWindows(findDialog, reinterpret_cast<LPARAM>(&dlg));
      if (dlg != nullptr && dlg != reported) {
        Sleep(200);  // let the dialog finish its layout
        report(dlg, ++count);
        reported = dlg;
      }
      Sleep(50);
    }
  }

  static POINT centre(HWND wnd) {
    RECT r{};
    GetWindowRect(wnd, &r);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  }

  void report(HWND dlg, int count) {
    const std::string path = path_ + "." + std::to_string(count);
    const std::string partial = path + ".part";
    FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) return;
    char text[1024] = {};
    GetWindowTextA(dlg, text, sizeof text);
    std::fprintf(out, "caption %s\n", text);
    GetDlgItemTextA(dlg, 101, text, sizeof text);
    std::fprintf(out, "text %s\n", text);
    const auto icon = reinterpret_cast<HICON>(SendDlgItemMessageA(dlg, 100, STM_GETICON, 0, 0));
    std::fprintf(
        out, "icon %s\n",
        icon != nullptr && icon == LoadIconA(nullptr, IDI_ASTERISK) ? "asterisk" : "other");
    std::fprintf(out, "owner %s\n", GetWindow(dlg, GW_OWNER) == nullptr ? "none" : "some");
    const LRESULT defId = SendMessageA(dlg, DM_GETDEFID, 0, 0);
    std::fprintf(out, "default %d\n", HIWORD(defId) == DC_HASDEFID ? LOWORD(defId) : 0);
    // Distance of the window's centre from the work area's centre.
    RECT work{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const POINT middle = centre(dlg);
    std::fprintf(out, "offcentre %ld %ld\n", middle.x - (work.left + work.right) / 2,
                 middle.y - (work.top + work.bottom) / 2);
    // Buttons left to right, each with its label and screen centre.
    for (int id : {IDYES, IDNO, IDOK, IDCANCEL, IDHELP}) {
      HWND button = GetDlgItem(dlg, id);
      if (button == nullptr) continue;
      GetWindowTextA(button, text, sizeof text);
      const POINT p = centre(button);
      std::fprintf(out, "button %d %ld %ld %s\n", id, p.x, p.y, text);
    }
    // The close button of the title bar, found as the system finds it.
    RECT frame{};
    GetWindowRect(dlg, &frame);
    const int captionY =
        frame.top + GetSystemMetrics(SM_CYFIXEDFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    for (int x = frame.right - 1; x > frame.left; --x) {
      if (SendMessageA(dlg, WM_NCHITTEST, 0, MAKELPARAM(x, captionY)) == HTCLOSE) {
        std::fprintf(out, "close %d %d\n", x - GetSystemMetrics(SM_CXSIZE) / 4, captionY);
        break;
      }
    }
    std::fclose(out);
    MoveFileA(partial.c_str(), path.c_str());
  }

  std::string path_;
  volatile bool stop_ = false;
  HANDLE thread_ = nullptr;
};

int showDialog(const std::string& kind, const char* caption, const char* text) {
  win32::setModuleInstance(GetModuleHandleA(nullptr));
  platform::MessageDialog dialog;
  dialog.caption = caption;
  dialog.text = text;
  dialog.buttons = kind == "yesno" ? platform::MessageDialog::Buttons::YesNo
                                   : platform::MessageDialog::Buttons::Ok;
  win32::Win32Dialogs dialogs;
  std::printf("answer=%d\n", dialogs.showMessageDialog(dialog));
  return 0;
}

int usage() {
  std::fputs(
      "usage: qvprobe [OPTIONS] exports DLL\n"
      "       qvprobe [OPTIONS] call DLL STEP...\n"
      "       qvprobe [OPTIONS] dialog yesno|ok CAPTION TEXT\n"
      "OPTIONS: --trace FILE, --report-dialog FILE, --hwnd desktop\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The harness compares bytes: no CR in front of the line feeds.
  _setmode(_fileno(stdout), _O_BINARY);
  int next = 1;
  HWND wnd = nullptr;
  const char* tracePath = nullptr;
  const char* reportPath = nullptr;
  while (next + 1 < argc && std::strncmp(argv[next], "--", 2) == 0) {
    const std::string option = argv[next];
    if (option == "--trace") {
      tracePath = argv[next + 1];
    } else if (option == "--report-dialog") {
      reportPath = argv[next + 1];
    } else if (option == "--hwnd" && std::strcmp(argv[next + 1], "desktop") == 0) {
      wnd = GetDesktopWindow();
    } else {
      return usage();
    }
    next += 2;
  }
  if (next + 1 >= argc) return usage();
  const std::string command = argv[next++];

  if (tracePath != nullptr) {
    traceFile = std::fopen(tracePath, "wb");
    if (traceFile == nullptr) {
      std::printf("FAIL: cannot write %s\n", tracePath);
      return 1;
    }
    AddVectoredExceptionHandler(/*first=*/1, captureDebugOutput);
  }

  int status = 2;
  {
    std::unique_ptr<DialogReporter> reporter;
    if (reportPath != nullptr) reporter = std::make_unique<DialogReporter>(reportPath);
    if (command == "dialog") {
      status = argc - next == 3 ? showDialog(argv[next], argv[next + 1], argv[next + 2]) : usage();
    } else if (command == "exports" || command == "call") {
      Library library(argv[next++]);
      if (library.get() == nullptr) {
        status = 1;
      } else if (command == "exports") {
        status = checkExports(library.get());
      } else {
        status = runCalls(library, wnd, argc - next, argv + next);
      }
    } else {
      status = usage();
    }
  }
  if (traceFile != nullptr) std::fclose(traceFile);
  return status;
}
