#pragma once

#include "project/listtable.h"
#include "sending/resulttable.h"

#include <QStringList>

// A sending run's results for tests of "Save As" and "Delete from list".
namespace varnholt::testing {

// Five recipients after a run: sent, failed with 550, failed without code
// (invalid address), never processed, failed with 551.
struct ResultsFixture {
    ListTable list;
    ResultTable results;

    ResultsFixture()
    {
        const QStringList rows{"a@x.org;Anna", "b@x.org;Bob", "carl;Carl", "d@x.org;Dora", "e@x.org;Emil"};
        list.setRowCount(int(rows.size()));
        list.setColumnCount(2);
        for (int r = 0; r < rows.size(); ++r) {
            list.setCell(r, 0, rows[r].section(u';', 0, 0));
            list.setCell(r, 1, rows[r].section(u';', 1, 1));
        }
        results.initFrom(list, 0);
        set(0, RowStatus::Sent, "Ok", "Sent through ISP smtp mail server", "", "");
        set(1, RowStatus::Failed, "No", "", "550", "Error: 550 no such user");
        set(2, RowStatus::Failed, "", "Error email", "", "");
        set(4, RowStatus::Failed, "No", "", "551", "Error: 551 not local");
    }
    void set(int r, RowStatus s, const char *state, const char *result, const char *code, const char *comment)
    {
        ResultRow row = results.row(r);
        row.status = s;
        row.state = QString::fromUtf8(state);
        row.result = QString::fromUtf8(result);
        row.code = QString::fromUtf8(code);
        row.comment = QString::fromUtf8(comment);
        results.setRow(r, row);
    }
    QStringList listAddresses() const
    {
        QStringList a;
        for (int r = 0; r < list.rowCount(); ++r)
            a.append(list.cell(r, 0));
        return a;
    }
    QStringList resultAddresses() const
    {
        QStringList a;
        for (int r = 0; r < results.rowCount(); ++r)
            a.append(results.address(r));
        return a;
    }
};

} // namespace varnholt::testing
