#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

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

// A template prepared for merging many records. It is taken apart once into
// literal text and merge fields; a record is then merged by joining the
// pieces with the record's cells, which gives what MergeFields gives as long
// as no square bracket can form a field that was not in the template: every
// field form is "[" + text without brackets + "]", every other "[" of the
// template is closed by a "]" before the next "[", and the record's cells
// hold no bracket. Records and templates where that does not hold are merged
// by MergeFields.
class MergeTemplate
{
public:
    MergeTemplate() = default;
    MergeTemplate(const QString &text, const QList<QStringList> &fieldForms);

    [[nodiscard]] QString merge(const std::function<QString(int column)> &cell) const;

    // Whether records are merged by joining the pieces.
    [[nodiscard]] bool joinsPieces() const { return m_joins; }
    // The columns the fields name, each once (when joining pieces).
    [[nodiscard]] const std::vector<int> &columns() const { return m_columns; }
    // The pieces joined with `cells` (indexed by column), which must hold
    // no bracket; only when joining pieces.
    [[nodiscard]] QString join(const QStringList &cells) const;

private:
    struct Piece {
        qsizetype from = 0;
        qsizetype length = 0;
        int column = -1; // -1: literal text
    };
    QString m_text;
    QList<QStringList> m_fieldForms;
    std::vector<Piece> m_pieces;
    std::vector<int> m_columns; // the columns the fields name, each once
    bool m_joins = false;
};

// The lines of a text: CR LF, LF and CR end a line; a line end at the very
// end starts no further (empty) line.
[[nodiscard]] QStringList SplitTextLines(const QString &text);

// A plain text template merged into lines: SplitTextLines of the merged
// text, made line by line where that gives the same lines.
class MergeTextLines
{
public:
    MergeTextLines(const QString &text, const QList<QStringList> &fieldForms);

    [[nodiscard]] QStringList merge(const std::function<QString(int column)> &cell) const;

private:
    MergeTemplate m_whole;
    QStringList m_lines; // the template's lines
    std::vector<std::pair<int, MergeTemplate>> m_fieldLines; // lines with fields
    std::vector<int> m_columns; // the columns their fields name, each once
    int m_columnCount = 0;
    bool m_breakless = false; // the template has no line end
    bool m_byLine = false;
};

} // namespace varnholt
