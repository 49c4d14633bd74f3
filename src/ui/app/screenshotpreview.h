#pragma once

#include "screenshotdemo.h"

// The message preview and the connection test, in a state worth a picture
// (scripts/screenshots): the open project is a scratch copy, and the
// program's accounts are replaced by a demo account.
namespace varnholt {

// The project window's preview of the list's second row.
void ShowMessagePreviewForScreenshot(TMainForm &main, ScreenshotSaver save);

// The preferences window's "Test connection" against a scripted SMTP
// server on 127.0.0.1 inside this process, which takes the log-in; saved
// with the verdict and the trace.
void ShowConnectionTestForScreenshot(TMainForm &main, ScreenshotSaver save);

} // namespace varnholt
