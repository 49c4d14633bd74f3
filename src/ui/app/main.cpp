// The desktop program.
//
//   varnholt [Qt options] [--home DIR] [-s|-v PROJECT.eml ANY]

#include "aboutbox.h"
#include "mainform.h"

#include "app/commandline.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/childwindows.h"
#include "ui/project/newmod2messageform.h"

#include <QAction>
#include <QApplication>
#include <QMdiArea>
#include <QTimer>

#include <cstdio>

namespace {

using namespace varnholt;

// --screenshot WINDOW FILE [PROJECT]: opens the window, writes its picture
// and ends the program. "main" is the main window with the project window,
// "project" the project window alone; any other name triggers the main
// window's command of that name (a modal window) and takes that window.
void scheduleScreenshot(TMainForm &main, const CommandLine &cl)
{
    QTimer::singleShot(300, &main, [&main, cl] {
        if (!cl.screenshotProject.isEmpty()) {
            QString path = cl.screenshotProject;
            main.OpenProject(path, false);
        }
        auto save = [cl](QWidget *w) {
            const bool ok = w && w->grab().save(cl.screenshotFile);
            if (!ok)
                std::fprintf(stderr, "screenshot of %s failed\n", qPrintable(cl.screenshotWindow));
            QCoreApplication::exit(ok ? 0 : 1);
        };
        if (cl.screenshotWindow == u"main" || cl.screenshotWindow == u"project") {
            QTimer::singleShot(700, &main, [&main, cl, save] {
                save(cl.screenshotWindow == u"main" ? static_cast<QWidget *>(&main)
                                                    : static_cast<QWidget *>(main.projectWindow()));
            });
            return;
        }
        QAction *command = main.action(cl.screenshotWindow);
        if (!command) {
            std::fprintf(stderr, "no window named %s\n", qPrintable(cl.screenshotWindow));
            QCoreApplication::exit(2);
            return;
        }
        QTimer::singleShot(1000, &main, [save] {
            QWidget *modal = QApplication::activeModalWidget();
            save(modal);
            if (modal)
                modal->close();
        });
        command->trigger();
    });
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv); // takes Qt's own arguments away
    QApplication::setApplicationName(QStringLiteral("Varnholt"));
    QApplication::setApplicationVersion(QStringLiteral(VARNHOLT_VERSION));
    const CommandLine commandLine = parseCommandLine(QApplication::arguments());

    ProgramFolder::initialise(commandLine.home);
    ProgramSettings &settings = programSettings();
    LoadSettings(settings, settingsFilePath());

    const bool screenshot = !commandLine.screenshotWindow.isEmpty();
    std::unique_ptr<TAboutBox> splash;
    if (!screenshot) {
        splash = std::make_unique<TAboutBox>();
        splash->setSplash(true);
        splash->show();
        QApplication::processEvents();
    }

    TMainForm main(commandLine);
    if (screenshot) {
        main.resize(1024, 768);
        main.show();
        scheduleScreenshot(main, commandLine);
        return QApplication::exec();
    }
    main.showMaximized();
    splash.reset();
    const int code = QApplication::exec();
    QString error;
    if (!SaveSettings(settings, settingsFilePath(), &error))
        std::fprintf(stderr, "varnholt: %s\n", qPrintable(error));
    return code;
}
