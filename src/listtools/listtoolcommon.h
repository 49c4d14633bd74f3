#pragma once

#include <QtGlobal>

#include <functional>
#include <vector>

// What the list tools share: a progress report that can stop the work, and
// the outcome of a tool that removes records.
//
// Every tool works in two steps. The first reads the table and decides
// (which rows go, which cells change); it may take long, reports progress
// and can be stopped, and it never writes to the table. The second applies
// the decision in one quick pass. A stopped or failed first step therefore
// leaves the table exactly as it was.
namespace varnholt {

// Called now and then with the records looked at so far and their total;
// returning false stops the work.
using ListToolProgress = std::function<bool(qint64 done, qint64 total)>;

// How many records a tool looks at between two progress reports.
inline constexpr int kListToolProgressEvery = 4096;

// The records a tool decided to remove.
struct RemovalResult {
    int recordsIn = 0;           // record rows of the table looked at
    std::vector<int> removedRows; // model rows, ascending
    bool stopped = false;         // the progress callback stopped it: nothing to apply

    [[nodiscard]] int recordsOut() const { return recordsIn - int(removedRows.size()); }
};

class ListTable;

// Removes the rows of a finished decision (nothing when it was stopped);
// the remaining records keep their order. A table left without records
// keeps one blank record.
void applyRemoval(ListTable &table, const RemovalResult &result);

} // namespace varnholt
