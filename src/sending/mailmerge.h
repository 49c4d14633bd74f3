#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

// The mail merge: merge fields such as "[Column#3]" in a subject or body are
// replaced by the recipient's cells.
//
// Each field of the template is replaced exactly once, and the values put in
// are never searched again: a cell that holds "[Column#2]" (or whose
// brackets would complete a field with the text around it) is sent as
// written. A list is data, not a template; searching values again would let
// one row's cells nest fields into each other and the merged text grow
// exponentially with every level.
namespace varnholt {

// The longest merged text (subject, plain text or HTML body) of one
// message, in characters: 10 MB.
inline constexpr qsizetype kMaxMergedLength = 10 * 1024 * 1024;
inline constexpr qsizetype kNoMergeLimit = std::numeric_limits<qsizetype>::max();

// The merge field forms of a column title: "[Column#3]", and, when the
// title's seventh character is not a blank, "[Column #3]" as well.
[[nodiscard]] QStringList MergeFieldForms(const QString &title);

// `text` with every merge field replaced by the cell of the column it names.
// Fields are found without regard to letter case, from the left; where forms
// of two columns start at the same place the first column's is taken. Text
// in square brackets that names no column stays as written.
[[nodiscard]] QString MergeFields(const QString &text, const QStringList &titles,
                                  const std::function<QString(int column)> &cell);
// The same with the forms of each column made beforehand (MergeFieldForms
// of every title, in column order).
[[nodiscard]] QString MergeFields(const QString &text, const QList<QStringList> &fieldForms,
                                  const std::function<QString(int column)> &cell);

// `value` with "&", "<", ">", '"' and "'" written as character references,
// so that a value merged into HTML can neither open a tag nor leave an
// attribute value. A value without them is returned as it is.
[[nodiscard]] QString EscapeHtml(const QString &value);

// A stretch of a text: [start, end).
struct TextRange {
    qsizetype start = 0;
    qsizetype end = 0;
};

// A template prepared for merging many records: taken apart once into
// literal text, merge fields and slots. A slot is a stretch of the template
// that is filled anew for every record (an inline picture's reference);
// fields are not looked for inside slots, nor across their edges.
class MergeTemplate
{
public:
    MergeTemplate() = default;
    // `slotRanges` must not overlap; their order gives their index in join().
    MergeTemplate(const QString &text, const QList<QStringList> &fieldForms,
                  const std::vector<TextRange> &slotRanges = {});

    // The columns the fields name, each once.
    [[nodiscard]] const std::vector<int> &columns() const { return m_columns; }
    // Whether a field overlaps the stretch [start, end) of the template.
    [[nodiscard]] bool hasFieldIn(qsizetype start, qsizetype end) const;
    // The columns of the fields that overlap [start, end), added to
    // `columns` (which may then hold a column more than once).
    void addColumnsIn(qsizetype start, qsizetype end, std::vector<int> &columns) const;

    // The length join() gives, found without making the text.
    [[nodiscard]] qsizetype joinedLength(const QStringList &cells, const QStringList &slotTexts = {}) const;
    // The template with each field replaced by `cells` of its column (indexed
    // by column; only columns() are read) and each slot by `slotTexts` of its
    // index. Nothing, and nothing made, when that would be longer than
    // `limit`.
    [[nodiscard]] std::optional<QString> join(const QStringList &cells, const QStringList &slotTexts = {},
                                              qsizetype limit = kMaxMergedLength) const;
    // join() with the cells that `cell` gives, each fetched once.
    [[nodiscard]] std::optional<QString> merge(const std::function<QString(int column)> &cell,
                                               qsizetype limit = kMaxMergedLength) const;

private:
    struct Piece {
        qsizetype from = 0;
        qsizetype length = 0;
        int column = -1; // a field of this column
        int slot = -1;   // a slot; literal text when both are -1
    };
    void addText(qsizetype from, qsizetype to, const QList<QStringList> &fieldForms);

    QString m_text;
    int m_columnCount = 0;
    int m_slotCount = 0;
    std::vector<Piece> m_pieces;
    std::vector<int> m_columns; // the columns the fields name, each once
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

    [[nodiscard]] const std::vector<int> &columns() const { return m_whole.columns(); }

    // The lines of the merged text; nothing when that text would be longer
    // than `limit`.
    [[nodiscard]] std::optional<QStringList> join(const QStringList &cells, qsizetype limit = kMaxMergedLength) const;
    [[nodiscard]] std::optional<QStringList> merge(const std::function<QString(int column)> &cell,
                                                   qsizetype limit = kMaxMergedLength) const;

private:
    MergeTemplate m_whole;
    QStringList m_lines; // the template's lines
    std::vector<std::pair<int, MergeTemplate>> m_fieldLines; // lines with fields
    int m_columnCount = 0;
    bool m_breakless = false; // the template has no line end
    bool m_byLine = false;
};

} // namespace varnholt
