#include "listtoolcommon.h"

#include "project/listtable.h"

namespace varnholt {

void applyRemoval(ListTable &table, const RemovalResult &result)
{
    if (result.stopped || result.removedRows.empty())
        return;
    table.removeRowSet(result.removedRows);
}

} // namespace varnholt
