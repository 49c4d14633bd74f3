#include "delimiters.h"

#include "project/listtable.h"

namespace varnholt {

const QStringList &delimiterEntries()
{
    static const QStringList entries = [] {
        QStringList list;
        for (QChar c : QStringLiteral(",./\\|+=-:;<>@!~#$%^&*(){}"))
            list.append(QString(c));
        list << QStringLiteral("Tab") << QStringLiteral("Space");
        return list;
    }();
    return entries;
}

QChar delimiterOfEntry(const QString &entry)
{
    if (entry == u"Tab")
        return u'\t';
    if (entry == u"Space")
        return u' ';
    return entry.isEmpty() ? QChar(u';') : entry.front();
}

QString entryOfDelimiter(QChar delimiter)
{
    return delimiterName(delimiter);
}

} // namespace varnholt
