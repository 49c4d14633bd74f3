// The desktop program.
//
//   varnholt [Qt options] [--home DIR] [-s|-v PROJECT.eml ANY]

#include "aboutbox.h"
#include "desktopstart.h"
#include "mainform.h"

#include "app/commandline.h"
#include "settings/settings.h"

#include <QApplication>

#include <cstdio>
#include <memory>

using namespace varnholt;

int main(int argc, char **argv)
{
    prepareDesktopProcess();
    QApplication app(argc, argv); // takes Qt's own arguments away
    const CommandLine commandLine = parseCommandLine(QApplication::arguments());
    startDesktopApplication(commandLine.home);

    auto splash = std::make_unique<TAboutBox>();
    splash->setSplash(true);
    splash->show();
    QApplication::processEvents();

    TMainForm main(commandLine);
    main.showMaximized();
    splash.reset();
    const int code = QApplication::exec();
    QString error;
    if (!SaveSettings(programSettings(), settingsFilePath(), &error))
        std::fprintf(stderr, "varnholt: %s\n", qPrintable(error));
    return code;
}
