#include "removeduplicates.h"

#include "listtools/keyset.h"
#include "project/listtable.h"

#include <algorithm>

namespace varnholt {

RemovalResult findDuplicates(const ListTable &table, std::vector<int> columns, const ListToolProgress &progress)
{
    RemovalResult result;
    result.recordsIn = table.rowCount();
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    std::erase_if(columns, [&table](int c) { return c < 0 || c >= table.columnCount(); });
    if (columns.empty())
        return result;

    std::vector<KeySet> seen(columns.size());
    // Most values of a watched column are usually distinct: room for all
    // of them up front saves growing the sets again and again. With many
    // columns that room would cost more than the growing.
    if (columns.size() <= 2) {
        for (KeySet &set : seen)
            set.reserve(table.rowCount());
    }
    QByteArray key;
    const int rows = table.rowCount();
    for (int row = 0; row < rows; ++row) {
        if (progress && row % kListToolProgressEvery == 0 && !progress(row, rows)) {
            result.stopped = true;
            result.removedRows.clear();
            return result;
        }
        for (size_t i = 0; i < columns.size(); ++i) {
            caseFoldedKeyInto(table.cellBytes(row, columns[i]), key);
            if (!seen[i].insert(key)) {
                result.removedRows.push_back(row);
                break;
            }
        }
    }
    if (progress)
        progress(rows, rows);
    return result;
}

} // namespace varnholt
