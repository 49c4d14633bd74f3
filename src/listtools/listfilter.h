#pragma once

#include "listtools/listtoolcommon.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// The filter: removes every record whose value in one column matches one of
// a set of keywords, for example the addresses that asked to be left out.
namespace varnholt {

class ListTable;

enum class FilterMode {
    // Equal when the letters A-Z and a-z are compared without letter case
    // and every other byte as it is; nothing is trimmed; an empty keyword
    // matches an empty value.
    IsEqualExactly,
    // The keyword occurs in the value, letter case significant; an empty
    // keyword never matches.
    ContainsKeywords,
};

// The rows of `table` whose cell in `column` matches one of `keywords`
// (bytes in the system charset). A record matches or not whatever order
// the keywords are in, so both modes look them all up at once (a hash of
// the keywords, a single pass over the value) instead of trying them one
// by one. A column outside the table removes nothing.
[[nodiscard]] RemovalResult findFilterMatches(const ListTable &table, int column,
                                              const std::vector<QByteArray> &keywords, FilterMode mode,
                                              const ListToolProgress &progress = {});

// The keywords of column `column` of a keyword table (one keyword set per
// row; a table without keywords holds one empty row, whose empty keyword
// matches empty values in "Is equal exactly").
[[nodiscard]] std::vector<QByteArray> keywordsOfColumn(const ListTable &keywordTable, int column);

// The removed-records file (".del"): one line per record of `rows`, every
// cell of the record (the table's column count) followed by ";", each line
// ending with CR LF.
[[nodiscard]] QByteArray removedRecordsBytes(const ListTable &table, const std::vector<int> &rows);

// The keyword file as "Save File As" writes it: one line per row, every
// cell followed by ";" whatever the delimiter, lines ending with CR LF.
[[nodiscard]] QByteArray keywordFileBytes(const ListTable &keywordTable);

// `name` with `extension` (".del", ".txt") appended unless it already ends
// with it in any letter case.
[[nodiscard]] QString withExtension(const QString &name, const QString &extension);

} // namespace varnholt
