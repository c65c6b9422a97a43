// The message dialog on real Windows: a modal dialog built from an in-memory
// template, owned by no window and centred on the screen. If the dialog
// cannot be shown at all, the answer is IDCANCEL, as if it had been closed.
#pragma once

#include "Platform.h"

namespace win32 {

class Win32Dialogs final : public platform::Dialogs {
public:
  int showMessageDialog(const platform::MessageDialog& dialog) override;
};

}  // namespace win32
