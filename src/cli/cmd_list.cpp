#include "cli.h"
#include "openproject.h"

#include "project/listtable.h"

#include <QElapsedTimer>
#include <QFileInfo>

namespace varnholt::cli {

int runList(const Invocation &inv)
{
    if (inv.words.size() != 3 || inv.words[1] != u"stats")
        return fail(QStringLiteral("usage: list stats FILE --delimiter C"), ExitUsage);
    const QString file = inv.words[2];
    const auto delimiter = parseDelimiter(inv.option(QStringLiteral("--delimiter"), QStringLiteral(";")));
    if (!delimiter)
        return fail(QStringLiteral("a delimiter is one character, Tab or Space"), ExitUsage);
    if (!QFileInfo(file).isFile())
        return fail(QStringLiteral("no list file \"%1\"").arg(file), ExitUsage);

    ListTable table;
    QElapsedTimer timer;
    timer.start();
    const ListTable::LoadResult result = table.load(file, *delimiter);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!result.fileRead)
        return fail(QStringLiteral("cannot read \"%1\"").arg(file), ExitUsage);
    if (!result.readWhole())
        warnListNotReadWhole(result.warning, file);

    QJsonObject doc;
    doc.insert(QStringLiteral("file"), file);
    doc.insert(QStringLiteral("records"), table.rowCount());
    doc.insert(QStringLiteral("columns"), table.columnCount());
    doc.insert(QStringLiteral("lines"), qint64(result.lines));
    doc.insert(QStringLiteral("readWhole"), result.readWhole());
    doc.insert(QStringLiteral("loadSeconds"), seconds);
    print(inv, doc,
          QStringLiteral("%1: %2 records, %3 columns, loaded in %4 s\n")
              .arg(file)
              .arg(table.rowCount())
              .arg(table.columnCount())
              .arg(seconds, 0, 'f', 3));
    return ExitOk;
}

} // namespace varnholt::cli
