#pragma once

#include "listtools/listtoolcommon.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// Find and replace: rewrites the values of one column with a list of old
// and new value pairs, applied in order to every value.
namespace varnholt {

class ListTable;

struct ReplacePair {
    QByteArray oldValue;
    QByteArray newValue;
};

// The pairs prepared for one case mode, and the replacement of one value.
//
// A pair is skipped when its old value is empty or when its new value
// equals the old one (without case sensitivity: the lower-cased new value
// equals the lower-cased old one; "lower-cased" touches A-Z only). Without
// case sensitivity the old value is searched in the lower-cased value and
// the new value is inserted as typed.
//
// Each pair replaces the leftmost occurrence again and again, each search
// starting over at the beginning, so text made by a replacement can be
// found again ("aa" -> "a" turns "aaaa" into "a"). The search resumes just
// before the last replacement instead of at the beginning, which finds the
// same leftmost occurrence (nothing left of that point changed) in linear
// time. A pair whose new value contains its old value would find it again
// forever: it makes one left-to-right pass that never searches inside
// inserted text. So does a pair whose repetition has not settled after
// many replacements or much growth (a value it keeps rewriting).
class Replacer
{
public:
    Replacer(const std::vector<ReplacePair> &pairs, bool caseSensitive);

    // The new value, or the value itself when no pair changes it.
    // `unsettled`, when given, counts the pairs that fell back to one pass
    // because their repetition did not settle.
    [[nodiscard]] QByteArray replace(QByteArrayView value, int *unsettled = nullptr) const;
    // Whether `value` contains no old value at all, so that no pair can
    // change it (a quick test before replace()).
    [[nodiscard]] bool untouched(QByteArrayView value) const;
    [[nodiscard]] bool empty() const { return m_pairs.empty(); }

private:
    struct Pair {
        QByteArray find;    // old value, lower-cased without case sensitivity
        QByteArray insert;  // new value as typed
        QByteArray insertCompared; // new value as searched (lower-cased without case sensitivity)
        bool onePass = false;
    };
    bool replaceRepeated(const Pair &pair, QByteArray &value, QByteArray &compared) const;
    void replaceOnePass(const Pair &pair, QByteArray &value, QByteArray &compared) const;

    std::vector<Pair> m_pairs;
    bool m_caseSensitive;
};

struct ReplaceResult {
    int recordsIn = 0;
    int changedCells = 0;
    int unsettledValues = 0; // values where a pair fell back to one pass
    bool stopped = false;
    // The new cells: row and the bytes in `bytes` from offset to offset + length.
    struct Change {
        int row = 0;
        qsizetype offset = 0;
        qsizetype length = 0;
    };
    std::vector<Change> changes;
    QByteArray bytes;
    int column = 0;
};

// Works out the new values of `column`; empty cells are left alone. Nothing
// is written to the table.
[[nodiscard]] ReplaceResult findReplacements(const ListTable &table, int column, const std::vector<ReplacePair> &pairs,
                                             bool caseSensitive, const ListToolProgress &progress = {});
// Writes the new values of a finished search (nothing when it was stopped).
void applyReplacements(ListTable &table, const ReplaceResult &result);

// The replace file: lines split at `delimiter` by the field splitter; the
// grid is as wide as the first line has fields; line i fills row i from
// the left, fields beyond the width dropped; an empty line gives an empty
// row. Returns the rows.
[[nodiscard]] std::vector<std::vector<QByteArray>> parseReplaceFile(QByteArrayView bytes, QByteArrayView delimiter);
// The pairs of such rows: column 0 the old value, column 1 the new one
// (empty when the grid has one column).
[[nodiscard]] std::vector<ReplacePair> replacePairsOf(const std::vector<std::vector<QByteArray>> &rows);
// Rows written back: the cells of each row joined by the delimiter, lines
// ending with CR LF.
[[nodiscard]] QByteArray replaceFileBytes(const std::vector<std::vector<QByteArray>> &rows, QByteArrayView delimiter);

} // namespace varnholt
