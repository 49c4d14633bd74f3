#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The mail merge: merge fields such as "[Column#3]" in a subject or body are
// replaced by the recipient's cells.
namespace varnholt {

// Replaces every occurrence of `pattern` in `text` by `value`, finding
// occurrences without regard to letter case. The search goes on after each
// inserted value, so a value that contains the pattern is not replaced
// again (and the loop ends). Text outside the occurrences keeps its case.
void ReplaceAllNoCase(QString &text, QStringView pattern, QStringView value);

// The merge field forms of a column title: "[Column#3]", and, when the
// title's seventh character is not a blank, "[Column #3]" as well.
[[nodiscard]] QStringList MergeFieldForms(const QString &title);

// `text` with the merge fields of every column replaced by that column's
// cell, column by column in order: a cell that itself holds a merge field of
// a later column is replaced again when that column's turn comes. Fields
// that name no column stay as written.
[[nodiscard]] QString MergeFields(QString text, const QStringList &titles,
                                  const std::function<QString(int column)> &cell);
// The same with the forms of each column made beforehand (MergeFieldForms
// of every title, in column order), for merging many records.
[[nodiscard]] QString MergeFields(QString text, const QList<QStringList> &fieldForms,
                                  const std::function<QString(int column)> &cell);

} // namespace varnholt
