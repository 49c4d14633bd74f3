// Opens a project in the main window and measures the time until the
// project window is shown and painted with its list, and the peak memory,
// for bench/open_bench.sh.
//
//   open_bench PROJECT.eml HOME
//
// Output, one "key value" per line: open_ms, rows, rss_before_kb,
// peak_after_open_kb.

#include "settings/programfolder.h"
#include "ui/app/mainform.h"
#include "ui/project/newmod2messageform.h"

#include <QApplication>
#include <QLabel>
#include <QElapsedTimer>
#include <QTableView>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: open_bench PROJECT.eml HOME\n");
        return 2;
    }
    varnholt::ProgramFolder::initialise(args[2]);
    varnholt::TMainForm main;
    main.resize(1024, 768);
    main.show();
    QApplication::processEvents();

    const long before = peakRssKb();
    QElapsedTimer timer;
    timer.start();
    QString path = args[1];
    main.OpenProject(path, false);
    // Usable: the grid has painted its first screen of rows, and whatever
    // the window left for the event loop (the record count, deferred
    // updates) has run and been painted.
    varnholt::TNewMod2MessageForm *window = main.projectWindow();
    window->grid()->viewport()->repaint();
    QApplication::processEvents();
    const qint64 ns = timer.nsecsElapsed();
    const long peak = peakRssKb();

    // The measurement only counts when the window really is usable: the
    // grid shows the whole table from its first row and the record count
    // is on screen.
    const int rows = window->project().table().rowCount();
    const QString count = QString::number(rows) + QStringLiteral(" records");
    if (window->grid()->model() != &window->project().table() || window->grid()->model()->rowCount() != rows
        || !window->grid()->indexAt(QPoint(1, 1)).isValid() || window->grid()->indexAt(QPoint(1, 1)).row() != 0
        || !window->recordCountLabel()->isVisible() || window->recordCountLabel()->text() != count) {
        std::fprintf(stderr, "open_bench: the project window is not usable after the open\n");
        return 1;
    }

    std::printf("open_ms %.1f\nrows %d\nrss_before_kb %ld\npeak_after_open_kb %ld\n", double(ns) / 1e6, rows,
                before, peak);
    return 0;
}
