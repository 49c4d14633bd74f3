#include "sending/mailmerge.h"

#include <algorithm>

namespace varnholt {

void ReplaceAllNoCase(QString &text, QStringView pattern, QStringView value)
{
    if (pattern.isEmpty())
        return;
    // Every pattern starts with a fixed character ("["), so candidates are
    // found with a plain character search; only those are compared without
    // regard to case. This keeps a merge over a long list cheap.
    const QChar first = pattern.front();
    const bool firstHasCase = first.toLower() != first.toUpper();
    const auto nextCandidate = [&](qsizetype from) {
        return firstHasCase ? text.indexOf(pattern, from, Qt::CaseInsensitive) : text.indexOf(first, from);
    };
    qsizetype pos = nextCandidate(0);
    while (pos >= 0 && pos + pattern.size() <= text.size()) {
        if (QStringView(text).mid(pos, pattern.size()).compare(pattern, Qt::CaseInsensitive) == 0) {
            text.replace(pos, pattern.size(), value.toString());
            pos = nextCandidate(pos + value.size());
        } else {
            pos = nextCandidate(pos + 1);
        }
    }
}

QStringList MergeFieldForms(const QString &title)
{
    QStringList forms{u'[' + title + u']'};
    if (title.size() >= 7 && title.at(6) != u' ')
        forms.append(u'[' + title.left(6) + u' ' + title.mid(6) + u']');
    return forms;
}

QString MergeFields(QString text, const QList<QStringList> &fieldForms,
                    const std::function<QString(int column)> &cell)
{
    for (int column = 0; column < fieldForms.size(); ++column) {
        // Every field starts with "[", and values only ever replace fields:
        // once none is left, no later column can change the text.
        if (!text.contains(u'['))
            break;
        const QString value = cell(column);
        for (const QString &form : fieldForms.at(column))
            ReplaceAllNoCase(text, form, value);
    }
    return text;
}

QString MergeFields(QString text, const QStringList &titles, const std::function<QString(int column)> &cell)
{
    QList<QStringList> forms;
    forms.reserve(titles.size());
    for (const QString &title : titles)
        forms.append(MergeFieldForms(title));
    return MergeFields(std::move(text), forms, cell);
}

namespace {

bool hasBracket(QStringView text)
{
    return text.contains(u'[') || text.contains(u']');
}

bool hasLineBreak(QStringView text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

// "[" + text without brackets + "]".
bool isPlainForm(QStringView form)
{
    return form.size() >= 2 && form.front() == u'[' && form.back() == u']' && !hasBracket(form.sliced(1, form.size() - 2));
}

} // namespace

MergeTemplate::MergeTemplate(const QString &text, const QList<QStringList> &fieldForms)
    : m_text(text)
    , m_fieldForms(fieldForms)
{
    for (const QStringList &forms : fieldForms) {
        if (!std::all_of(forms.cbegin(), forms.cend(), isPlainForm))
            return;
    }
    std::vector<bool> named(size_t(fieldForms.size()), false);
    qsizetype literalFrom = 0;
    qsizetype pos = text.indexOf(u'[');
    while (pos >= 0) {
        // The first column, in column order, with a form here: the one
        // whose replacement would take this place.
        int column = -1;
        qsizetype length = 0;
        for (int c = 0; c < fieldForms.size() && column < 0; ++c) {
            for (const QString &form : fieldForms.at(c)) {
                if (pos + form.size() <= text.size()
                    && QStringView(text).sliced(pos, form.size()).compare(form, Qt::CaseInsensitive) == 0) {
                    column = c;
                    length = form.size();
                    break;
                }
            }
        }
        if (column < 0) {
            // A bracket that opens no field must close before the next one
            // opens; otherwise a merged value could complete a field.
            const qsizetype open = text.indexOf(u'[', pos + 1);
            const qsizetype close = text.indexOf(u']', pos + 1);
            if (open >= 0 && (close < 0 || open < close))
                return;
            pos = open;
            continue;
        }
        if (pos > literalFrom)
            m_pieces.push_back({literalFrom, pos - literalFrom, -1});
        m_pieces.push_back({pos, length, column});
        if (!named[size_t(column)]) {
            named[size_t(column)] = true;
            m_columns.push_back(column);
        }
        literalFrom = pos + length;
        pos = text.indexOf(u'[', literalFrom);
    }
    if (literalFrom < text.size())
        m_pieces.push_back({literalFrom, text.size() - literalFrom, -1});
    m_joins = true;
}

QString MergeTemplate::merge(const std::function<QString(int column)> &cell) const
{
    if (!m_joins)
        return MergeFields(m_text, m_fieldForms, cell);
    if (m_columns.empty())
        return m_text;
    // Each named column's cell, fetched once.
    QStringList cells(m_fieldForms.size());
    for (int column : m_columns) {
        cells[column] = cell(column);
        if (hasBracket(cells[column]))
            return MergeFields(m_text, m_fieldForms, cell);
    }
    return join(cells);
}

QString MergeTemplate::join(const QStringList &cells) const
{
    qsizetype size = 0;
    for (const Piece &p : m_pieces)
        size += p.column < 0 ? p.length : cells[p.column].size();
    QString out;
    out.reserve(size);
    for (const Piece &p : m_pieces) {
        if (p.column < 0)
            out.append(QStringView(m_text).sliced(p.from, p.length));
        else
            out.append(cells[p.column]);
    }
    return out;
}

QStringList SplitTextLines(const QString &text)
{
    QStringList lines;
    const QStringView all(text);
    qsizetype start = 0;
    while (start < all.size()) {
        const qsizetype lf = all.indexOf(u'\n', start);
        const qsizetype end = lf < 0 ? all.size() : lf;
        const qsizetype cr = all.sliced(start, end - start).indexOf(u'\r');
        if (cr >= 0 && start + cr + 1 < end) {
            // A CR on its own ends a line too.
            lines.append(text.sliced(start, cr));
            start += cr + 1;
            continue;
        }
        // The line, without the CR of a CR LF (or of a CR at the very end).
        lines.append(text.sliced(start, cr >= 0 ? cr : end - start));
        start = end + 1;
    }
    return lines;
}

// Merging line by line gives the lines of the merged text as long as no
// line end comes or goes: the field forms and the merged cells hold none,
// so every replacement stays within its line. Lines without fields are then
// the template's own, shared by every record.
MergeTextLines::MergeTextLines(const QString &text, const QList<QStringList> &fieldForms)
    : m_whole(text, fieldForms)
    , m_lines(SplitTextLines(text))
    , m_columnCount(int(fieldForms.size()))
    , m_breakless(!hasLineBreak(text))
{
    for (const QStringList &forms : fieldForms) {
        if (std::any_of(forms.cbegin(), forms.cend(), [](const QString &f) { return hasLineBreak(f); }))
            return;
    }
    std::vector<bool> named(size_t(fieldForms.size()), false);
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (!m_lines[i].contains(u'['))
            continue;
        MergeTemplate line(m_lines[i], fieldForms);
        if (!line.joinsPieces())
            return;
        if (line.columns().empty())
            continue;
        for (int column : line.columns()) {
            if (!named[size_t(column)]) {
                named[size_t(column)] = true;
                m_columns.push_back(column);
            }
        }
        m_fieldLines.emplace_back(int(i), std::move(line));
    }
    m_byLine = true;
}

QStringList MergeTextLines::merge(const std::function<QString(int column)> &cell) const
{
    if (!m_byLine)
        return SplitTextLines(m_whole.merge(cell));
    QStringList cells(m_columnCount);
    for (int column : m_columns) {
        cells[column] = cell(column);
        // One look at each character for brackets and line ends.
        const bool plain = std::none_of(cells[column].cbegin(), cells[column].cend(), [](QChar c) {
            return c == u'[' || c == u']' || c == u'\r' || c == u'\n';
        });
        if (!plain)
            return SplitTextLines(m_whole.merge(cell));
    }
    QStringList lines = m_lines;
    for (const auto &[index, line] : m_fieldLines)
        lines[index] = line.join(cells);
    // A text without line ends that merges to nothing has no line at all.
    if (m_breakless && lines.size() == 1 && lines.front().isEmpty())
        return {};
    return lines;
}

} // namespace varnholt
