#include "conditions.h"

#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QDir>
#include <QFileInfo>

namespace varnholt::extract {

namespace {

const QString kBar = QStringLiteral("|");

qsizetype parseNumber(const QString &text, qsizetype fallback)
{
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    return ok ? qsizetype(v) : fallback;
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QString();
}

} // namespace

std::vector<rItem> ExtractConditions::namedItems() const
{
    std::vector<rItem> out;
    for (const rItem &item : items) {
        if (!item.name.trimmed().isEmpty())
            out.push_back(item);
    }
    return out;
}

FieldRule fieldRuleOf(const rItem &item)
{
    FieldRule rule;
    rule.begin = lowered(SystemCharset::fromUnicode(item.begin));
    rule.end = lowered(SystemCharset::fromUnicode(item.end));
    rule.finderBegin = rule.begin.startsWith('^');
    if (rule.finderBegin)
        rule.finders = findersOf(rule.begin);
    rule.identifier = qMax<qsizetype>(parseNumber(item.identNumber, 1), 1);
    rule.symbols = qMax<qsizetype>(parseNumber(item.symbols, 0), 0);
    rule.words = qMax<qsizetype>(parseNumber(item.words, 0), 0);
    rule.lines = qMax<qsizetype>(parseNumber(item.lines, 0), 0);
    rule.lineNumber = qMax<qsizetype>(parseNumber(item.lineNumber, 0), 0);
    return rule;
}

ExtractConditions defaultConditions()
{
    ExtractConditions c;
    c.folder = QDir::currentPath();
    return c;
}

ExtractConditions parseConditions(const QByteArray &bytes)
{
    ExtractConditions c = defaultConditions();
    QStringList lines;
    forEachLine(bytes, [&lines](QByteArrayView line) { lines << SystemCharset::toUnicode(line); });
    if (lines.isEmpty())
        return c;
    const QString &first = lines[0];
    const qsizetype bar = first.lastIndexOf(u'|');
    if (bar < 0) {
        c.folder = first;
        c.mask = QStringLiteral("*.*");
    } else {
        c.folder = first.first(bar);
        c.mask = first.mid(bar + 1);
    }
    if (lines.size() < 2)
        return c;
    const QStringList f = SplitFields(kBar, lines[1]);
    const auto field = [&f](int i) { return f.value(i); };
    c.recordBegin = field(0);
    c.recordEnd = field(1);
    c.lengthLimitOn = field(2) == u"1";
    c.lengthLimit = field(3);
    c.tableMode = field(4) == u"1";
    c.htmlTable = field(5) == u"1";
    c.tableNumber = field(6);
    c.delimitedData = field(7) == u"1";
    c.dataDelimiter = field(8);
    c.keepQuoted = field(9) == u"1";
    c.delimiterRuns = field(10) == u"1";
    if (lines.size() < 3)
        return c;
    c.items.clear();
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QStringList a = SplitFields(kBar, lines[i]);
        c.items.push_back(rItem{a.value(0), a.value(1), a.value(2), a.value(3), a.value(4), a.value(5), a.value(6),
                                a.value(7), a.value(8)});
    }
    return c;
}

ExtractConditions readConditions(const QString &path, bool *ok)
{
    const auto bytes = readFileBytes(path);
    if (ok)
        *ok = bytes.has_value();
    if (!bytes)
        return defaultConditions();
    ExtractConditions c = parseConditions(*bytes);
    const QFileInfo folder(c.folder);
    if (c.folder.isEmpty() || !folder.isDir() || !folder.isReadable())
        c.folder = QFileInfo(path).absolutePath();
    return c;
}

QByteArray conditionsFileBytes(const ExtractConditions &c)
{
    QStringList lines;
    lines << c.folder + kBar + c.mask;
    const QStringList second = {c.recordBegin, c.recordEnd,   flag(c.lengthLimitOn), c.lengthLimit,
                                flag(c.tableMode), flag(c.htmlTable), c.tableNumber, flag(c.delimitedData),
                                c.dataDelimiter, flag(c.keepQuoted), flag(c.delimiterRuns)};
    QString line2;
    for (const QString &s : second)
        line2 += s + kBar;
    lines << line2;
    for (const rItem &i : c.items) {
        if (i.name.trimmed().isEmpty())
            continue;
        lines << QStringList{i.name,  i.begin, i.end,        i.identNumber, i.symbols,
                             i.words, i.lines, i.lineNumber, i.unique}
                     .join(kBar);
    }
    return joinLinesCrLf(lines);
}

bool writeConditions(const QString &path, const ExtractConditions &c, QString *error)
{
    return writeFileAtomically(path, conditionsFileBytes(c), error);
}

QString CommaText(const QStringList &values)
{
    QString out;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += u',';
        const QString &v = values[i];
        bool quote = false;
        for (const QChar ch : v) {
            if (ch.unicode() <= u' ' || ch == u',' || ch == u'"') {
                quote = true;
                break;
            }
        }
        if (!quote) {
            out += v;
            continue;
        }
        out += u'"';
        for (const QChar ch : v) {
            if (ch == u'"')
                out += u'"';
            out += ch;
        }
        out += u'"';
    }
    return out;
}

namespace {

bool isCommaBlank(QChar c)
{
    return c.unicode() >= 1 && c.unicode() <= u' ';
}

} // namespace

QStringList SplitCommaText(const QString &text)
{
    QStringList values;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && isCommaBlank(text[i]))
        ++i;
    while (i < n && text[i] != QChar(0)) {
        QString value;
        if (text[i] == u'"') {
            // Up to the closing quote; a doubled quote is one quote. An
            // unclosed quote runs to the end.
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        value += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
        } else {
            const qsizetype from = i;
            while (i < n && text[i].unicode() > u' ' && text[i] != u',')
                ++i;
            value = text.mid(from, i - from);
        }
        values << value;
        while (i < n && isCommaBlank(text[i]))
            ++i;
        if (i < n && text[i] == u',') {
            do
                ++i;
            while (i < n && isCommaBlank(text[i]));
        }
    }
    return values;
}

} // namespace varnholt::extract
