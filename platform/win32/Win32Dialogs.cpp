// The dialog is laid out at run time, once its font is known: the message is
// measured at a fixed maximum width and the window is sized around it, the
// way the system's own message boxes are.
#include "Win32Dialogs.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Win32Module.h"

namespace win32 {
namespace {

constexpr WORD kIconId = 100;
constexpr WORD kTextId = 101;

// Dialog units of the layout, converted to pixels with the dialog's font.
constexpr int kMarginDlu = 10;
constexpr int kIconGapDlu = 10;
constexpr int kButtonWidthDlu = 50;
constexpr int kButtonHeightDlu = 14;
constexpr int kButtonGapDlu = 6;
constexpr int kMaxTextWidthDlu = 250;

struct DialogButton {
  WORD id;
  const wchar_t* label;
};

struct DialogState {
  const platform::MessageDialog* dialog;
  const DialogButton* buttons;
  int buttonCount;
  // What Esc answers: the dialog manager reports it as IDCANCEL, which this
  // dialog reserves for the window's close button.
  int escapeAnswer;
};

constexpr DialogButton kYesNoButtons[] = {{IDYES, L"&Yes"}, {IDNO, L"&No"}};
constexpr DialogButton kOkButtons[] = {{IDOK, L"OK"}};

// Dialog templates are arrays of 16-bit words with DWORD-aligned items.
class TemplateBuilder {
public:
  void word(WORD value) { words_.push_back(value); }
  void dword(DWORD value) {
    word(LOWORD(value));
    word(HIWORD(value));
  }
  void text(const wchar_t* value) {
    for (; *value != L'\0'; ++value) word(static_cast<WORD>(*value));
    word(0);
  }
  void alignDword() {
    if (words_.size() % 2 != 0) word(0);
  }
  void item(DWORD style, WORD id, WORD classAtom, const wchar_t* title) {
    alignDword();
    dword(style | WS_CHILD | WS_VISIBLE);
    dword(/*extendedStyle=*/0);
    for (int i = 0; i < 4; ++i) word(0);  // placed in WM_INITDIALOG
    word(id);
    word(0xFFFF);
    word(classAtom);
    text(title);
    word(/*creationDataSize=*/0);
  }
  // The words copied into DWORD-aligned storage.
  std::vector<DWORD> finish() const {
    std::vector<DWORD> aligned((words_.size() + 1) / 2);
    std::memcpy(aligned.data(), words_.data(), words_.size() * sizeof(WORD));
    return aligned;
  }

private:
  std::vector<WORD> words_;
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

std::vector<DWORD> buildTemplate(const DialogState& state) {
  TemplateBuilder t;
  t.dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_SETFOREGROUND |
          DS_3DLOOK);
  t.dword(/*extendedStyle=*/0);
  t.word(static_cast<WORD>(2 + state.buttonCount));
  for (int i = 0; i < 4; ++i) t.word(0);  // sized and centred in WM_INITDIALOG
  t.word(/*menu=*/0);
  t.word(/*windowClass=*/0);
  t.text(L"");  // the caption is set as ANSI text in WM_INITDIALOG
  t.word(/*pointSize=*/8);
  t.text(L"MS Shell Dlg");

  t.item(SS_ICON, kIconId, kStaticAtom, L"");
  t.item(SS_LEFT | SS_NOPREFIX, kTextId, kStaticAtom, L"");
  for (int i = 0; i < state.buttonCount; ++i) {
    const DWORD style = (i == 0 ? BS_DEFPUSHBUTTON | WS_GROUP : BS_PUSHBUTTON) | WS_TABSTOP;
    t.item(style, state.buttons[i].id, kButtonAtom, state.buttons[i].label);
  }
  return t.finish();
}

// A window's device context, released when it goes out of scope.
class WindowDc {
public:
  explicit WindowDc(HWND wnd) : wnd_(wnd), dc_(GetDC(wnd)) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (dc_ != nullptr) ReleaseDC(wnd_, dc_);
  }
  HDC get() const { return dc_; }

private:
  HWND wnd_;
  HDC dc_;
};

// A font selected into a device context until the end of the scope.
class SelectedFont {
public:
  SelectedFont(HDC dc, HFONT font)
      : dc_(dc), old_(font != nullptr ? SelectObject(dc, font) : nullptr) {}
  SelectedFont(const SelectedFont&) = delete;
  SelectedFont& operator=(const SelectedFont&) = delete;
  ~SelectedFont() {
    if (old_ != nullptr) SelectObject(dc_, old_);
  }

private:
  HDC dc_;
  HGDIOBJ old_;
};

int dluToPixelsX(HWND dlg, int dlu) {
  RECT r{0, 0, dlu, 0};
  MapDialogRect(dlg, &r);
  return r.right;
}

int dluToPixelsY(HWND dlg, int dlu) {
  RECT r{0, 0, 0, dlu};
  MapDialogRect(dlg, &r);
  return r.bottom;
}

// Measures the message at the maximum width (DrawText wraps it as the static
// control will), then places icon, text and buttons and centres the window
// in the screen's work area.
void layOut(HWND dlg, const DialogState& state) {
  RECT workArea{};
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0)) {
    workArea = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  const int margin = dluToPixelsX(dlg, kMarginDlu);
  const int marginY = dluToPixelsY(dlg, kMarginDlu);
  const int iconGap = dluToPixelsX(dlg, kIconGapDlu);
  const int buttonWidth = dluToPixelsX(dlg, kButtonWidthDlu);
  const int buttonHeight = dluToPixelsY(dlg, kButtonHeightDlu);
  const int buttonGap = dluToPixelsX(dlg, kButtonGapDlu);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  const int maxTextWidth = std::min(dluToPixelsX(dlg, kMaxTextWidthDlu),
                                    static_cast<int>(workArea.right - workArea.left) / 2);

  HWND text = GetDlgItem(dlg, kTextId);
  RECT textRect{0, 0, maxTextWidth, 0};
  {
    WindowDc dc(text);
    SelectedFont font(dc.get(), reinterpret_cast<HFONT>(SendMessageA(dlg, WM_GETFONT, 0, 0)));
    DrawTextA(dc.get(), state.dialog->text.c_str(), -1, &textRect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | DT_LEFT);
  }
  const int textWidth = textRect.right - textRect.left;
  const int textHeight = textRect.bottom - textRect.top;

  const int textX = margin + iconWidth + iconGap;
  const int contentHeight = std::max(iconHeight, textHeight);
  const int buttonsY = marginY + contentHeight + marginY;
  const int buttonsWidth = state.buttonCount * buttonWidth + (state.buttonCount - 1) * buttonGap;
  const int clientWidth = std::max(textX + textWidth + margin, buttonsWidth + 2 * margin);
  const int clientHeight = buttonsY + buttonHeight + marginY;

  SetWindowPos(GetDlgItem(dlg, kIconId), nullptr, margin, marginY, iconWidth, iconHeight,
               SWP_NOZORDER | SWP_NOACTIVATE);
  // The text is centred against a taller icon, as in a system message box.
  SetWindowPos(text, nullptr, textX, marginY + (contentHeight - textHeight) / 2, textWidth,
               textHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  int buttonX = (clientWidth - buttonsWidth) / 2;
  for (int i = 0; i < state.buttonCount; ++i) {
    SetWindowPos(GetDlgItem(dlg, state.buttons[i].id), nullptr, buttonX, buttonsY, buttonWidth,
                 buttonHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    buttonX += buttonWidth + buttonGap;
  }

  RECT frame{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongA(dlg, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongA(dlg, GWL_EXSTYLE)));
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int x = workArea.left + (workArea.right - workArea.left - width) / 2;
  const int y = workArea.top + (workArea.bottom - workArea.top - height) / 2;
  SetWindowPos(dlg, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK dialogProc(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* state = reinterpret_cast<const DialogState*>(lParam);
      SetWindowLongPtrA(dlg, DWLP_USER, lParam);
      SetWindowTextA(dlg, state->dialog->caption.c_str());
      SetDlgItemTextA(dlg, kTextId, state->dialog->text.c_str());
      // A shared system icon: it is never destroyed.
      SendDlgItemMessageA(dlg, kIconId, STM_SETICON,
                          reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_ASTERISK)), 0);
      layOut(dlg, *state);
      SetFocus(GetDlgItem(dlg, state->buttons[0].id));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      const auto* state = reinterpret_cast<const DialogState*>(GetWindowLongPtrA(dlg, DWLP_USER));
      const WORD id = LOWORD(wParam);
      if (id == IDCANCEL) {
        EndDialog(dlg, state->escapeAnswer);
        return TRUE;
      }
      for (int i = 0; i < state->buttonCount; ++i) {
        if (state->buttons[i].id == id) {
          EndDialog(dlg, id);
          return TRUE;
        }
      }
      return FALSE;
    }
    case WM_CLOSE:
      // The title bar's close button and Alt+F4 both arrive here.
      EndDialog(dlg, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int Win32Dialogs::showMessageDialog(const platform::MessageDialog& dialog) {
  const bool yesNo = dialog.buttons == platform::MessageDialog::Buttons::YesNo;
  const DialogState state{&dialog, yesNo ? kYesNoButtons : kOkButtons, yesNo ? 2 : 1,
                          yesNo ? IDNO : IDOK};
  const std::vector<DWORD> dialogTemplate = buildTemplate(state);
  const INT_PTR answer = DialogBoxIndirectParamA(
      moduleInstance(), reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()),
      /*owner=*/nullptr, dialogProc, reinterpret_cast<LPARAM>(&state));
  return answer <= 0 ? IDCANCEL : static_cast<int>(answer);
}

}  // namespace win32
