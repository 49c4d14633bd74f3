#pragma once

#include "listtools/listtoolcommon.h"

#include <vector>

// "Remove duplicates": a record goes when one of the watched columns repeats
// a value an earlier record had in that column. Values are compared without
// letter case (see caseFoldedKeyInto), untrimmed; the empty value is a value
// like any other. The columns are looked at from left to right and the
// first repeat decides, so the values left of it are remembered even for a
// record that goes, and can make a later record a duplicate; the values
// right of it are not.
namespace varnholt {

class ListTable;

// The rows to remove; `columns` are the watched columns (0-based, any
// order: they are looked at in ascending order; columns outside the table
// are ignored). No column at all removes nothing.
[[nodiscard]] RemovalResult findDuplicates(const ListTable &table, std::vector<int> columns,
                                           const ListToolProgress &progress = {});

} // namespace varnholt
