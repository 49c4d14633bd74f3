#pragma once

#include <functional>

class QString;
class QWidget;

// Windows the screenshot tool shows in a state worth a picture,
// on the open project (a scratch copy: nothing here is for real use).
namespace varnholt {

class TMainForm;

using ScreenshotSaver = std::function<void(QWidget *)>;

// The HTML editor page of the project window, saved once its document has
// loaded and drawn.
void ShowHtmlEditorForScreenshot(TMainForm &main, ScreenshotSaver save);

// The HTML editor page after the file `page` was imported into it (a
// newsletter with scripts, a refresh and pictures of its own): saved once
// the pictures were made local and N.htm is shown.
void ShowImportedPageForScreenshot(TMainForm &main, const QString &page, ScreenshotSaver save);

// The sending window in the middle of a run: the project's list is sent
// to a scripted SMTP server on 127.0.0.1 inside this process, which takes
// the first two messages, refuses the third recipient and keeps the fourth
// message waiting for its answer. The window is saved while it waits.
void ShowSendingRunForScreenshot(TMainForm &main, ScreenshotSaver save);

// The sending window switched to direct delivery: its settings and the
// warning about port 25, SPF and DKIM (the warning's message box is
// answered by itself).
void ShowDirectSendingForScreenshot(TMainForm &main, ScreenshotSaver save);

} // namespace varnholt
