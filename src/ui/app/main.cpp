// The desktop program.
//
//   varnholt [Qt options] [--home DIR] [-s|-v PROJECT.eml ANY]

#include "aboutbox.h"
#include "mainform.h"
#include "screenshotdemo.h"
#include "sendingdialogs.h"

#include "app/commandline.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/childwindows.h"
#include "ui/project/newmod2messageform.h"
#include "ui/schedule/schedule.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/logs.h"
#include "ui/sending/saveform.h"

#include <QAction>
#include <QDir>
#include <QApplication>
#include <QMdiArea>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

using namespace varnholt;

// The dialogs of the sending window, opened on their own for a picture:
// "logs" (the newest send log of the program folder), "save", "delete",
// "schedule" (of `project`). Null for any other name.
QWidget *sendingDialog(const QString &name, const QString &project, QWidget *parent)
{
    if (name == u"logs") {
        const QFileInfoList logs = QDir(ProgramFolder::filePath(QStringLiteral("logs")))
                                       .entryInfoList({QStringLiteral("send_*.log")}, QDir::Files, QDir::Time);
        return new T_logs(logs.isEmpty() ? QString() : logs.first().filePath(), QStringLiteral("Ok"),
                          QStringLiteral("No"), parent);
    }
    if (name == u"save")
        return new T_SaveForm(saveDialogSettings(), parent);
    if (name == u"delete")
        return new T_DeleteForm(deleteDialogSettings(), parent);
    if (name == u"schedule") {
        TTaskObj task;
        TSeriesObj series;
        task.Load(project);
        series.Load(project);
        return new T_Schedule(task, series, parent);
    }
    return nullptr;
}

// --screenshot WINDOW FILE [PROJECT]: opens the window, writes its picture
// and ends the program. "main" is the main window with the project window,
// "project" the project window alone, "htmleditor" the main window with the
// project window on its HTML page, "sending" the sending window in the
// middle of a run (screenshotdemo.h), "attachments" the project's
// attachments window; any other name triggers the main
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
        if (cl.screenshotWindow == u"htmleditor") {
            ShowHtmlEditorForScreenshot(main, save);
            return;
        }
        if (cl.screenshotWindow == u"sending") {
            ShowSendingRunForScreenshot(main, save);
            return;
        }
        if (cl.screenshotWindow == u"main" || cl.screenshotWindow == u"project") {
            QTimer::singleShot(700, &main, [&main, cl, save] {
                save(cl.screenshotWindow == u"main" ? static_cast<QWidget *>(&main)
                                                    : static_cast<QWidget *>(main.projectWindow()));
            });
            return;
        }
        if (cl.screenshotWindow == u"attachments") {
            if (TNewMod2MessageForm *w = main.projectWindow())
                QTimer::singleShot(0, w, &TNewMod2MessageForm::editAttachments);
            QTimer::singleShot(1000, &main, [save] {
                QWidget *modal = QApplication::activeModalWidget();
                save(modal);
                if (modal)
                    modal->close();
            });
            return;
        }
        if (QWidget *dialog = sendingDialog(cl.screenshotWindow, cl.screenshotProject, &main)) {
            dialog->show();
            QTimer::singleShot(700, &main, [dialog, save] { save(dialog); });
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
    // The HTML editor's browser refuses to start as root unless its
    // sandbox is off; everyone else keeps the sandbox.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
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

    installSendingDialogs();
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
