#pragma once

// A list table as rows of texts, for comparing a whole table in one QCOMPARE
// and for filling one from a literal.

#include "project/listtable.h"

#include <QList>
#include <QStringList>

#include <algorithm>

namespace varnholt::testing {

using Grid = QList<QStringList>;

inline Grid gridOf(const ListTable &t)
{
    Grid g;
    for (int r = 0; r < t.rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < t.columnCount(); ++c)
            row.append(t.cell(r, c));
        g.append(row);
    }
    return g;
}

// Makes `t` hold `g`: as wide as its widest row (at least one column).
inline void fill(ListTable &t, const Grid &g)
{
    t.clear();
    t.setRowCount(int(g.size()));
    int cols = 1;
    for (const QStringList &row : g)
        cols = std::max(cols, int(row.size()));
    t.setColumnCount(cols);
    for (int r = 0; r < g.size(); ++r)
        for (int c = 0; c < g[r].size(); ++c)
            t.setCell(r, c, g[r][c]);
}

} // namespace varnholt::testing
