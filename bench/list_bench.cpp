// Loads a list file into the project table and saves it back, printing
// the times and the peak memory for bench/list_bench.sh.
//
//   list_bench LIST OUT [DELIMITER]
//
// Output, one "key value" per line: load_ms, save_ms, rows, columns,
// rss_before_kb, peak_after_load_kb.

#include "project/listtable.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // kilobytes on Linux
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: list_bench LIST OUT [DELIMITER]\n");
        return 2;
    }
    const QChar delimiter = args.size() > 3 && !args[3].isEmpty() ? args[3].front() : QChar(u';');

    varnholt::ListTable table;
    const long before = peakRssKb();
    QElapsedTimer timer;
    timer.start();
    const auto loaded = table.load(args[1], delimiter);
    const qint64 loadNs = timer.nsecsElapsed();
    const long peak = peakRssKb();
    if (!loaded.fileRead) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[1]));
        return 1;
    }

    timer.restart();
    QString error;
    if (!table.save(args[2], delimiter, &error)) {
        std::fprintf(stderr, "save failed: %s\n", qPrintable(error));
        return 1;
    }
    const qint64 saveNs = timer.nsecsElapsed();

    std::printf("load_ms %.1f\nsave_ms %.1f\nrows %d\ncolumns %d\nrss_before_kb %ld\npeak_after_load_kb %ld\n",
                double(loadNs) / 1e6, double(saveNs) / 1e6, table.rowCount(), table.columnCount(), before, peak);
    return 0;
}
