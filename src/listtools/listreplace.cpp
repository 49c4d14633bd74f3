#include "listreplace.h"

#include "listtools/keyset.h"
#include "listtools/multipattern.h"
#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/textfile.h"

#include <algorithm>
#include <cstring>

namespace varnholt {

namespace {

// Bounds of one pair's repetition on one value: beyond them it counts as
// not settling (a rule that keeps rewriting its own output).
constexpr qint64 kMinStepBudget = 1 << 20;
constexpr qsizetype kGrowthBudget = 16 << 20;

// A value being rewritten: the text left of the search point at the front
// of `buf`, the rest at its back, free room between them, so a replacement
// and the step back before it cost the lengths involved, not the value's.
// `cmp` mirrors `buf` in the compared form (lower-cased without case
// sensitivity); with case sensitivity it is not kept.
struct GapText {
    std::vector<char> buf;
    std::vector<char> cmp;
    size_t left = 0;  // [0, left) is done
    size_t right = 0; // [right, size) is still to search
    bool mirrored = false;

    void init(QByteArrayView value, QByteArrayView compared, bool mirror, size_t room)
    {
        mirrored = mirror;
        const size_t size = size_t(value.size()) + room;
        buf.assign(size, 0);
        left = 0;
        right = size - size_t(value.size());
        if (!value.isEmpty())
            std::memcpy(buf.data() + right, value.data(), size_t(value.size()));
        if (mirrored) {
            cmp.assign(size, 0);
            if (!compared.isEmpty())
                std::memcpy(cmp.data() + right, compared.data(), size_t(compared.size()));
        }
    }
    [[nodiscard]] size_t length() const { return left + (buf.size() - right); }
    [[nodiscard]] const std::vector<char> &searched() const { return mirrored ? cmp : buf; }

    void ensureRoom(size_t needed)
    {
        if (right - left >= needed)
            return;
        const size_t tail = buf.size() - right;
        const size_t size = std::max(buf.size() * 2, left + tail + needed + 64);
        auto regrow = [&](std::vector<char> &v) {
            std::vector<char> n(size, 0);
            std::memcpy(n.data(), v.data(), left);
            std::memcpy(n.data() + size - tail, v.data() + right, tail);
            v.swap(n);
        };
        regrow(buf);
        if (mirrored)
            regrow(cmp);
        right = size - tail;
    }
    // Moves [right, to) to the done side.
    void advanceTo(size_t to)
    {
        const size_t n = to - right;
        std::memmove(buf.data() + left, buf.data() + right, n);
        if (mirrored)
            std::memmove(cmp.data() + left, cmp.data() + right, n);
        left += n;
        right = to;
    }
    void skip(size_t n) { right += n; }
    void prepend(QByteArrayView text, QByteArrayView compared)
    {
        right -= size_t(text.size());
        if (!text.isEmpty())
            std::memcpy(buf.data() + right, text.data(), size_t(text.size()));
        if (mirrored && !compared.isEmpty())
            std::memcpy(cmp.data() + right, compared.data(), size_t(compared.size()));
    }
    // Moves the last `n` done bytes back in front of the rest.
    void stepBack(size_t n)
    {
        n = std::min(n, left);
        right -= n;
        left -= n;
        std::memmove(buf.data() + right, buf.data() + left, n);
        if (mirrored)
            std::memmove(cmp.data() + right, cmp.data() + left, n);
    }
    void take(QByteArray &value, QByteArray &compared) const
    {
        auto join = [this](const std::vector<char> &v) {
            QByteArray out(qsizetype(length()), Qt::Uninitialized);
            std::memcpy(out.data(), v.data(), left);
            std::memcpy(out.data() + left, v.data() + right, v.size() - right);
            return out;
        };
        value = join(buf);
        compared = mirrored ? join(cmp) : value;
    }
};

[[nodiscard]] qsizetype findIn(const std::vector<char> &v, size_t from, QByteArrayView what)
{
    const QByteArrayView hay(v.data() + from, qsizetype(v.size() - from));
    const qsizetype at = hay.indexOf(what);
    return at < 0 ? -1 : qsizetype(from) + at;
}

} // namespace

Replacer::Replacer(const std::vector<ReplacePair> &pairs, bool caseSensitive)
    : m_caseSensitive(caseSensitive)
{
    for (const ReplacePair &p : pairs) {
        Pair pair;
        pair.find = caseSensitive ? p.oldValue : asciiLower(p.oldValue);
        pair.insert = p.newValue;
        pair.insertCompared = caseSensitive ? p.newValue : asciiLower(p.newValue);
        if (pair.find.isEmpty() || pair.insertCompared == pair.find)
            continue;
        pair.onePass = pair.insertCompared.contains(pair.find);
        m_pairs.push_back(std::move(pair));
    }
}

bool Replacer::untouched(QByteArrayView value) const
{
    if (m_caseSensitive) {
        for (const Pair &p : m_pairs) {
            if (value.contains(p.find))
                return false;
        }
        return true;
    }
    const QByteArray lower = asciiLower(value);
    for (const Pair &p : m_pairs) {
        if (lower.contains(p.find))
            return false;
    }
    return true;
}

void Replacer::replaceOnePass(const Pair &pair, QByteArray &value, QByteArray &compared) const
{
    QByteArray out;
    QByteArray outCompared;
    qsizetype pos = 0;
    while (true) {
        const qsizetype at = compared.indexOf(pair.find, pos);
        if (at < 0)
            break;
        out.append(QByteArrayView(value).sliced(pos, at - pos)).append(pair.insert);
        if (!m_caseSensitive)
            outCompared.append(QByteArrayView(compared).sliced(pos, at - pos)).append(pair.insertCompared);
        pos = at + pair.find.size();
    }
    if (pos == 0)
        return;
    out.append(QByteArrayView(value).sliced(pos));
    if (!m_caseSensitive)
        outCompared.append(QByteArrayView(compared).sliced(pos));
    value = std::move(out);
    compared = m_caseSensitive ? value : std::move(outCompared);
}

bool Replacer::replaceRepeated(const Pair &pair, QByteArray &value, QByteArray &compared) const
{
    qsizetype first = compared.indexOf(pair.find);
    if (first < 0)
        return true;
    const size_t findSize = size_t(pair.find.size());
    const size_t insertSize = size_t(pair.insert.size());
    const qint64 budget = std::max<qint64>(kMinStepBudget, 64 * (qint64(value.size()) + 1));
    const size_t maxLength = size_t(value.size()) + size_t(kGrowthBudget);

    GapText text;
    text.init(value, compared, !m_caseSensitive, insertSize + findSize + 64);
    qint64 steps = 0;
    qsizetype at = qsizetype(text.right) + first;
    while (at >= 0) {
        if (++steps > budget || text.length() > maxLength)
            return false;
        text.advanceTo(size_t(at));
        text.skip(findSize);
        text.ensureRoom(insertSize + findSize);
        text.prepend(pair.insert, pair.insertCompared);
        // Nothing left of the replacement changed and no occurrence began
        // there, so the next leftmost one starts at most findSize - 1
        // bytes before it.
        text.stepBack(findSize - 1);
        at = findIn(text.searched(), text.right, pair.find);
    }
    text.take(value, compared);
    return true;
}

QByteArray Replacer::replace(QByteArrayView input, int *unsettled) const
{
    QByteArray value = input.toByteArray();
    QByteArray compared = m_caseSensitive ? value : asciiLower(input);
    for (const Pair &pair : m_pairs) {
        if (!compared.contains(pair.find))
            continue;
        if (pair.onePass) {
            replaceOnePass(pair, value, compared);
            continue;
        }
        const QByteArray before = value;
        const QByteArray beforeCompared = compared;
        if (!replaceRepeated(pair, value, compared)) {
            value = before;
            compared = beforeCompared;
            replaceOnePass(pair, value, compared);
            if (unsettled)
                ++*unsettled;
        }
    }
    return value;
}

ReplaceResult findReplacements(const ListTable &table, int column, const std::vector<ReplacePair> &pairs,
                               bool caseSensitive, const ListToolProgress &progress)
{
    ReplaceResult result;
    result.recordsIn = table.rowCount();
    result.column = column;
    const Replacer replacer(pairs, caseSensitive);
    if (column < 0 || column >= table.columnCount() || replacer.empty())
        return result;

    // One automaton over every old value tells which values no pair can
    // touch (most of them, usually) in one pass each.
    std::vector<QByteArray> finds;
    for (const ReplacePair &p : pairs) {
        if (!p.oldValue.isEmpty())
            finds.push_back(caseSensitive ? p.oldValue : asciiLower(p.oldValue));
    }
    const MultiPattern anyOld(finds);
    QByteArray lower;
    const int rows = table.rowCount();
    for (int row = 0; row < rows; ++row) {
        if (progress && row % kListToolProgressEvery == 0 && !progress(row, rows)) {
            result.stopped = true;
            result.changes.clear();
            result.bytes.clear();
            result.changedCells = 0;
            return result;
        }
        const QByteArrayView value = table.cellBytes(row, column);
        if (value.isEmpty())
            continue;
        if (caseSensitive) {
            if (!anyOld.containsAny(value))
                continue;
        } else {
            asciiLowerInto(value, lower);
            if (!anyOld.containsAny(lower))
                continue;
        }
        int unsettled = 0;
        const QByteArray replaced = replacer.replace(value, &unsettled);
        if (unsettled > 0)
            ++result.unsettledValues;
        if (replaced == value)
            continue;
        result.changes.push_back({row, result.bytes.size(), replaced.size()});
        result.bytes.append(replaced);
        ++result.changedCells;
    }
    if (progress)
        progress(rows, rows);
    return result;
}

void applyReplacements(ListTable &table, const ReplaceResult &result)
{
    if (result.stopped || result.changes.empty())
        return;
    table.beginUpdate();
    for (const ReplaceResult::Change &c : result.changes)
        table.setCellBytes(c.row, result.column, QByteArrayView(result.bytes).sliced(c.offset, c.length));
    table.endUpdate();
}

std::vector<std::vector<QByteArray>> parseReplaceFile(QByteArrayView bytes, QByteArrayView delimiter)
{
    std::vector<std::vector<QByteArray>> rows;
    qsizetype width = -1;
    forEachLine(bytes, [&](QByteArrayView line) {
        std::vector<QByteArray> fields;
        auto add = [&](QByteArrayView field) { fields.push_back(field.toByteArray()); };
        if (delimiter.size() == 1) {
            splitFieldsBytes(delimiter[0], line, add);
        } else if (!line.isEmpty()) {
            // A delimiter of several bytes (a non-ASCII character in UTF-8).
            qsizetype pos = 0;
            while (pos < line.size()) {
                const qsizetype sep = delimiter.isEmpty() ? -1 : line.indexOf(delimiter, pos);
                const qsizetype stop = sep < 0 ? line.size() : sep;
                add(trimBlanks(line.sliced(pos, stop - pos)));
                pos = sep < 0 ? line.size() : sep + delimiter.size();
            }
        }
        if (width < 0)
            width = qsizetype(fields.size());
        if (qsizetype(fields.size()) > width)
            fields.resize(size_t(width));
        rows.push_back(std::move(fields));
    });
    return rows;
}

std::vector<ReplacePair> replacePairsOf(const std::vector<std::vector<QByteArray>> &rows)
{
    std::vector<ReplacePair> pairs;
    pairs.reserve(rows.size());
    for (const auto &row : rows)
        pairs.push_back({row.size() > 0 ? row[0] : QByteArray(), row.size() > 1 ? row[1] : QByteArray()});
    return pairs;
}

QByteArray replaceFileBytes(const std::vector<std::vector<QByteArray>> &rows, QByteArrayView delimiter)
{
    QByteArray out;
    for (const auto &row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                out.append(delimiter);
            out.append(row[c]);
        }
        out.append("\r\n");
    }
    return out;
}

} // namespace varnholt
