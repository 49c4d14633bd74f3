// MX queries as the verification sends them (one DnsMxQuery per domain, a
// new one for each), with IN_FLIGHT of them running at once and no pacing:
// each answer starts the next domain at once. Prints the time from the first
// query to the last answer and what the answers said.
//
// Usage: verify_bench HOST:PORT DOMAINS_FILE [IN_FLIGHT]
// The file holds one domain a line. Exits 1 when a query fails to go out or
// an answer is missing after 30 s.

#include "benchapp.h"
#include "verify/dnsmxquery.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace varnholt;

int main(int argc, char **argv)
{
    bench::useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    QStringList args;
    if (!bench::takeArguments(args, 2, "verify_bench HOST:PORT DOMAINS_FILE [IN_FLIGHT]"))
        return 2;
    const QString server = args.at(1);
    const int inFlight = args.size() > 3 ? std::max(1, args.at(3).toInt()) : 100;
    QFile file(args.at(2));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "verify_bench: cannot read %s\n", qPrintable(args.at(2)));
        return 2;
    }
    QStringList domains;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            domains << QString::fromUtf8(line.trimmed());
    }

    int next = 0;
    int running = 0;
    int mostRunning = 0;
    int answered = 0;
    int withRecords = 0;
    int withoutRecords = 0;
    int errors = 0;
    int sendFailures = 0;
    QElapsedTimer clock;

    std::function<void()> startNext = [&] {
        if (next >= domains.size())
            return;
        auto *query = new DnsMxQuery;
        ++running;
        mostRunning = std::max(mostRunning, running);
        QObject::connect(query, &MxQuery::done, query, [&, query](int error, int answers) {
            // Freed later, as the run frees its queries: the signal is still
            // being delivered.
            query->disconnect();
            query->deleteLater();
            --running;
            ++answered;
            if (error != 0)
                ++errors;
            else if (answers > 0)
                ++withRecords;
            else
                ++withoutRecords;
            if (answered + sendFailures == domains.size())
                app.exit(0);
            else
                startNext();
        });
        QObject::connect(query, &MxQuery::sendFailed, query, [&](const QString &message) {
            std::fprintf(stderr, "verify_bench: a query could not be sent: %s\n", qPrintable(message));
            ++sendFailures;
            app.exit(1);
        });
        query->start(server, domains.at(next++));
    };

    QTimer::singleShot(0, &app, [&] {
        clock.start();
        for (int i = 0; i < inFlight; ++i)
            startNext();
    });
    // A lost datagram would leave its query waiting for ever: none may be
    // lost against a server on this machine, so that is a failure.
    QTimer::singleShot(30000, &app, [&] { app.exit(1); });
    const int rc = domains.isEmpty() ? 0 : app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("seconds %.4f queries %d answered %d in_flight %d with_records %d without_records %d errors %d\n",
                seconds, int(domains.size()), answered, mostRunning, withRecords, withoutRecords, errors);
    if (rc != 0 || answered != domains.size()) {
        std::fprintf(stderr, "verify_bench: %d of %d queries unanswered\n", int(domains.size()) - answered,
                     int(domains.size()));
        return 1;
    }
    return 0;
}
