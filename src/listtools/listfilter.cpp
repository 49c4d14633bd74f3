#include "listfilter.h"

#include "listtools/keyset.h"
#include "listtools/multipattern.h"
#include "project/listtable.h"

#include <QFileInfo>

namespace varnholt {

RemovalResult findFilterMatches(const ListTable &table, int column, const std::vector<QByteArray> &keywords,
                                FilterMode mode, const ListToolProgress &progress)
{
    RemovalResult result;
    result.recordsIn = table.rowCount();
    if (column < 0 || column >= table.columnCount() || keywords.empty())
        return result;

    const int rows = table.rowCount();
    auto run = [&](auto &&matches) {
        for (int row = 0; row < rows; ++row) {
            if (progress && row % kListToolProgressEvery == 0 && !progress(row, rows)) {
                result.stopped = true;
                result.removedRows.clear();
                return;
            }
            if (matches(table.cellBytes(row, column)))
                result.removedRows.push_back(row);
        }
        if (progress)
            progress(rows, rows);
    };

    if (mode == FilterMode::IsEqualExactly) {
        KeySet set;
        set.reserve(qsizetype(keywords.size()));
        QByteArray key;
        for (const QByteArray &keyword : keywords) {
            asciiLowerInto(keyword, key);
            set.insert(key);
        }
        run([&](QByteArrayView value) {
            asciiLowerInto(value, key);
            return set.contains(key);
        });
        return result;
    }

    // A handful of keywords are quickest searched one by one.
    std::vector<QByteArray> patterns;
    for (const QByteArray &keyword : keywords) {
        if (!keyword.isEmpty())
            patterns.push_back(keyword);
    }
    if (patterns.empty())
        return result;
    if (patterns.size() <= 4) {
        run([&](QByteArrayView value) {
            for (const QByteArray &p : patterns) {
                if (value.contains(p))
                    return true;
            }
            return false;
        });
        return result;
    }
    const MultiPattern automaton(patterns);
    run([&](QByteArrayView value) { return automaton.containsAny(value); });
    return result;
}

std::vector<QByteArray> keywordsOfColumn(const ListTable &keywordTable, int column)
{
    std::vector<QByteArray> keywords;
    if (column < 0 || column >= keywordTable.columnCount())
        return keywords;
    keywords.reserve(size_t(keywordTable.rowCount()));
    for (int row = 0; row < keywordTable.rowCount(); ++row)
        keywords.push_back(keywordTable.cellBytes(row, column).toByteArray());
    return keywords;
}

namespace {

void appendRowWithSemicolons(const ListTable &table, int row, QByteArray &out)
{
    for (int c = 0; c < table.columnCount(); ++c) {
        out.append(table.cellBytes(row, c));
        out.append(';');
    }
    out.append("\r\n");
}

} // namespace

QByteArray removedRecordsBytes(const ListTable &table, const std::vector<int> &rows)
{
    QByteArray out;
    for (const int row : rows)
        appendRowWithSemicolons(table, row, out);
    return out;
}

QByteArray keywordFileBytes(const ListTable &keywordTable)
{
    QByteArray out;
    for (int row = 0; row < keywordTable.rowCount(); ++row)
        appendRowWithSemicolons(keywordTable, row, out);
    return out;
}

QString withExtension(const QString &name, const QString &extension)
{
    return name.endsWith(extension, Qt::CaseInsensitive) ? name : name + extension;
}

} // namespace varnholt
