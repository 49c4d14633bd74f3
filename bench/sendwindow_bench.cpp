// Sends a whole mailing from the sending window, driven as a user would
// ("Send Mail"), and measures the run and how well the window keeps up
// with its event loop: a 50 ms timer's largest gap between ticks during
// the run, and how long "Stop" takes to be answered when asked for.
//
//   sendwindow_bench PROJECT.eml HOME [stop]
//
// Output, one "key value" per line: rows, good, bad, send_ms,
// max_tick_gap_ms, ticks; with "stop", stop_ms (from the click on "Stop"
// to the end of the run) instead of a full run.

#include "project/project.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/messagebox.h"
#include "ui/sending/postsrv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTableView>

#include "ui/sending/resultmodel.h"
#include <QTimer>

#include <cstdio>

using namespace varnholt;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: sendwindow_bench PROJECT.eml HOME [stop]\n");
        return 2;
    }
    const bool stopEarly = args.value(3) == QStringLiteral("stop");
    ProgramFolder::initialise(args[2]);
    ProgramSettings &settings = programSettings();
    LoadSettings(settings, settingsFilePath());
    Project project(settings.iniInfo);
    project.open(QFileInfo(args[1]).absoluteFilePath());
    setMessageBoxHook([](const QString &, const QString &, int) { return int(idOk); });

    TPostSrv window(project, settings.accounts);
    if (!window.isUsable())
        return 1;
    window.resize(900, 600);
    window.show();

    QElapsedTimer sinceTick;
    qint64 maxGap = 0;
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(50);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (ticks++ > 0)
            maxGap = std::max(maxGap, sinceTick.elapsed());
        sinceTick.restart();
    });

    QElapsedTimer run;
    QElapsedTimer stopClock;
    qint64 sendMs = 0;
    QObject::connect(&window.run(), &SendingRun::runFinished, [&] {
        sendMs = run.elapsed();
        ticker.stop();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    if (stopEarly)
        QObject::connect(&window.run(), &SendingRun::countersChanged, [&] {
            if (window.run().good() == 5000 && !stopClock.isValid()) {
                stopClock.start();
                window.button(QStringLiteral("stop"))->click();
            }
        });
    // SENDWINDOW_SHOT=FILE: a picture of the window half-way through.
    const QString shot = qEnvironmentVariable("SENDWINDOW_SHOT");
    if (!shot.isEmpty())
        QObject::connect(&window.run(), &SendingRun::countersChanged, [&] {
            if (window.run().good() == window.run().total() / 2) {
                window.resultView()->scrollTo(window.model()->index(window.run().currentRow(), 0));
                window.grab().save(shot);
            }
        });
    QTimer::singleShot(0, [&] {
        ticker.start();
        sinceTick.start();
        run.start();
        window.button(QStringLiteral("sendMail"))->click();
    });
    app.exec();

    std::printf("rows %d\ngood %d\nbad %d\nsend_ms %lld\nmax_tick_gap_ms %lld\nticks %d\n",
                window.run().total(), window.run().good(), window.run().bad(), static_cast<long long>(sendMs),
                static_cast<long long>(maxGap), ticks);
    if (stopEarly)
        std::printf("stop_ms %lld\n", static_cast<long long>(stopClock.isValid() ? stopClock.elapsed() : -1));
    return 0;
}
