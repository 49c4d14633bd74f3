#pragma once

#include <QString>

#include <functional>

// The application's message box. Flags are the classic message-box bits the
// program uses: 16 error icon + OK, 32 question icon + OK, 35 question icon
// + Yes/No/Cancel, 48 warning icon + OK, 64 information icon + OK, 8256 information + OK modal to
// the whole task, 8228 question + Yes/No modal to the whole task. The
// result is the pressed button: 1 OK, 2 Cancel, 6 Yes, 7 No.
namespace varnholt {

enum MessageBoxFlag : int {
    mbOk = 0,
    mbYesNoCancel = 3,
    mbYesNo = 4,
    mbIconError = 16,
    mbIconQuestion = 32,
    mbIconWarning = 48,
    mbIconInformation = 64,
    mbDefButton2 = 256, // the second button (No) is the default
    mbTaskModal = 8192,
};

enum MessageBoxResult : int { idOk = 1, idCancel = 2, idYes = 6, idNo = 7 };

int ShowMessageBox(const QString &text, const QString &caption, int flags);

// Tests answer message boxes through a hook instead of a modal box. The hook
// receives what would have been shown and returns the button code. Returns
// the previous hook; an empty hook restores the real box.
using MessageBoxHook = std::function<int(const QString &text, const QString &caption, int flags)>;
MessageBoxHook setMessageBoxHook(MessageBoxHook hook);

} // namespace varnholt
