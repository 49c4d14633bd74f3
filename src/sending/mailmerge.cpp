#include "sending/mailmerge.h"

#include <algorithm>

namespace varnholt {

namespace {

bool hasLineBreak(QStringView text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c == u'\r' || c == u'\n'; });
}

// The column whose field starts at `pos` of `text`, and the field's length;
// column -1 when no field starts there. Every form starts with "[".
std::pair<int, qsizetype> fieldAt(QStringView text, qsizetype pos, const QList<QStringList> &fieldForms)
{
    const QStringView rest = text.sliced(pos);
    for (int column = 0; column < fieldForms.size(); ++column) {
        for (const QString &form : fieldForms.at(column)) {
            if (form.size() <= rest.size() && rest.first(form.size()).compare(form, Qt::CaseInsensitive) == 0)
                return {column, form.size()};
        }
    }
    return {-1, 0};
}

} // namespace

QStringList MergeFieldForms(const QString &title)
{
    QStringList forms{u'[' + title + u']'};
    if (title.size() >= 7 && title.at(6) != u' ')
        forms.append(u'[' + title.left(6) + u' ' + title.mid(6) + u']');
    return forms;
}

QString MergeFields(const QString &text, const QList<QStringList> &fieldForms,
                    const std::function<QString(int column)> &cell)
{
    return *MergeTemplate(text, fieldForms).merge(cell, kNoMergeLimit);
}

QString MergeFields(const QString &text, const QStringList &titles, const std::function<QString(int column)> &cell)
{
    QList<QStringList> forms;
    forms.reserve(titles.size());
    for (const QString &title : titles)
        forms.append(MergeFieldForms(title));
    return MergeFields(text, forms, cell);
}

QString EscapeHtml(const QString &value)
{
    const auto special = [](QChar c) {
        return c == u'&' || c == u'<' || c == u'>' || c == u'"' || c == u'\'';
    };
    const auto first = std::find_if(value.cbegin(), value.cend(), special);
    if (first == value.cend())
        return value;
    QString out;
    out.reserve(value.size() + 16);
    out.append(QStringView(value.cbegin(), first));
    for (auto it = first; it != value.cend(); ++it) {
        switch (it->unicode()) {
        case u'&': out.append(u"&amp;"); break;
        case u'<': out.append(u"&lt;"); break;
        case u'>': out.append(u"&gt;"); break;
        case u'"': out.append(u"&quot;"); break;
        case u'\'': out.append(u"&#39;"); break;
        default: out.append(*it);
        }
    }
    return out;
}

MergeTemplate::MergeTemplate(const QString &text, const QList<QStringList> &fieldForms,
                             const std::vector<TextRange> &slotRanges)
    : m_text(text)
    , m_columnCount(int(fieldForms.size()))
    , m_slotCount(int(slotRanges.size()))
{
    std::vector<int> order(slotRanges.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::sort(order.begin(), order.end(),
              [&slotRanges](int a, int b) { return slotRanges[a].start < slotRanges[b].start; });
    qsizetype from = 0;
    for (int index : order) {
        const TextRange &slot = slotRanges[size_t(index)];
        addText(from, slot.start, fieldForms);
        m_pieces.push_back({slot.start, slot.end - slot.start, -1, index});
        from = slot.end;
    }
    addText(from, text.size(), fieldForms);
}

// Takes text[from, to) apart into literal text and fields.
void MergeTemplate::addText(qsizetype from, qsizetype to, const QList<QStringList> &fieldForms)
{
    const QStringView text = QStringView(m_text).first(to);
    qsizetype literalFrom = from;
    qsizetype pos = text.indexOf(u'[', from);
    while (pos >= 0) {
        const auto [column, length] = fieldAt(text, pos, fieldForms);
        if (column < 0) {
            pos = text.indexOf(u'[', pos + 1);
            continue;
        }
        if (pos > literalFrom)
            m_pieces.push_back({literalFrom, pos - literalFrom, -1, -1});
        m_pieces.push_back({pos, length, column, -1});
        if (std::find(m_columns.cbegin(), m_columns.cend(), column) == m_columns.cend())
            m_columns.push_back(column);
        literalFrom = pos + length;
        pos = text.indexOf(u'[', literalFrom);
    }
    if (literalFrom < to)
        m_pieces.push_back({literalFrom, to - literalFrom, -1, -1});
}

bool MergeTemplate::hasFieldIn(qsizetype start, qsizetype end) const
{
    std::vector<int> columns;
    addColumnsIn(start, end, columns);
    return !columns.empty();
}

void MergeTemplate::addColumnsIn(qsizetype start, qsizetype end, std::vector<int> &columns) const
{
    // The pieces follow each other through the whole template.
    auto it = std::upper_bound(m_pieces.cbegin(), m_pieces.cend(), start,
                               [](qsizetype at, const Piece &p) { return at < p.from + p.length; });
    for (; it != m_pieces.cend() && it->from < end; ++it) {
        if (it->column >= 0)
            columns.push_back(it->column);
    }
}

qsizetype MergeTemplate::joinedLength(const QStringList &cells, const QStringList &slotTexts) const
{
    qsizetype length = 0;
    for (const Piece &p : m_pieces) {
        if (p.column >= 0)
            length += cells[p.column].size();
        else if (p.slot >= 0)
            length += slotTexts[p.slot].size();
        else
            length += p.length;
    }
    return length;
}

std::optional<QString> MergeTemplate::join(const QStringList &cells, const QStringList &slotTexts,
                                           qsizetype limit) const
{
    Q_ASSERT(slotTexts.size() >= m_slotCount);
    if (m_columns.empty() && m_slotCount == 0)
        return m_text.size() <= limit ? std::optional<QString>(m_text) : std::nullopt;
    // The length first: a template with many fields and a long cell must
    // fail before anything of that size is allocated.
    const qsizetype length = joinedLength(cells, slotTexts);
    if (length > limit)
        return std::nullopt;
    QString out;
    out.reserve(length);
    for (const Piece &p : m_pieces) {
        if (p.column >= 0)
            out.append(cells[p.column]);
        else if (p.slot >= 0)
            out.append(slotTexts[p.slot]);
        else
            out.append(QStringView(m_text).sliced(p.from, p.length));
    }
    return out;
}

std::optional<QString> MergeTemplate::merge(const std::function<QString(int column)> &cell, qsizetype limit) const
{
    QStringList cells(m_columnCount);
    for (int column : m_columns)
        cells[column] = cell(column);
    return join(cells, {}, limit);
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
// line end comes or goes: no field form holds one, so a field never spans
// lines and each line is taken apart as it is within the whole text; a
// record whose cells hold none merges every line within itself. Lines
// without fields are then the template's own, shared by every record.
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
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (!m_lines[i].contains(u'['))
            continue;
        MergeTemplate line(m_lines[i], fieldForms);
        if (!line.columns().empty())
            m_fieldLines.emplace_back(int(i), std::move(line));
    }
    m_byLine = true;
}

std::optional<QStringList> MergeTextLines::join(const QStringList &cells, qsizetype limit) const
{
    if (m_whole.joinedLength(cells) > limit)
        return std::nullopt;
    const bool byLine = m_byLine && std::none_of(columns().cbegin(), columns().cend(), [&cells](int column) {
                            return hasLineBreak(cells[column]);
                        });
    if (!byLine)
        return SplitTextLines(*m_whole.join(cells, {}, kNoMergeLimit));
    QStringList lines = m_lines;
    for (const auto &[index, line] : m_fieldLines)
        lines[index] = *line.join(cells, {}, kNoMergeLimit);
    // A text without line ends that merges to nothing has no line at all.
    if (m_breakless && lines.size() == 1 && lines.front().isEmpty())
        return QStringList();
    return lines;
}

std::optional<QStringList> MergeTextLines::merge(const std::function<QString(int column)> &cell,
                                                 qsizetype limit) const
{
    QStringList cells(m_columnCount);
    for (int column : columns())
        cells[column] = cell(column);
    return join(cells, limit);
}

} // namespace varnholt
