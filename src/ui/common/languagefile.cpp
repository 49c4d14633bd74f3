#include "languagefile.h"

#include "settings/fields.h"
#include "settings/textfile.h"

#include <QHash>
#include <QStringDecoder>

#include <optional>

namespace varnholt {

namespace {

// "[NAME]" gives NAME.
std::optional<QStringView> sectionName(QStringView line)
{
    const QStringView t = trimBlanks(line);
    if (!t.startsWith(u'['))
        return std::nullopt;
    const qsizetype close = t.indexOf(u']');
    if (close < 1)
        return std::nullopt;
    return trimBlanks(t.sliced(1, close - 1));
}

// The key of a key=value line; empty for anything else (comments too).
QStringView keyOf(QStringView line)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq <= 0)
        return {};
    const QStringView key = trimBlanks(line.first(eq));
    if (key.startsWith(u';'))
        return {};
    return key;
}

QString valueOf(QStringView line)
{
    QStringView v = trimBlanks(line.sliced(line.indexOf(u'=') + 1));
    if (v.size() >= 2 && v.front() == u'"' && v.back() == u'"')
        v = v.sliced(1, v.size() - 2);
    return v.toString();
}

// The value as written: quoted when reading would otherwise change it.
QString encodedValue(QString value)
{
    value.replace(u'\r', u' ').replace(u'\n', u' ');
    const bool quote = !value.isEmpty()
                       && (trimBlanks(value).size() != value.size()
                           || (value.size() >= 2 && value.front() == u'"' && value.back() == u'"'));
    return quote ? u'"' + value + u'"' : value;
}

bool isBlankLine(QStringView line)
{
    return trimBlanks(line).isEmpty();
}

} // namespace

QString LanguageFile::decodeLine(QByteArrayView line)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(line);
    if (utf8.hasError())
        text = QString::fromLatin1(line);
    text.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter));
    return text;
}

bool LanguageFile::load(const QString &path)
{
    m_lines.clear();
    const auto bytes = readFileBytes(path);
    if (!bytes)
        return false;
    parse(*bytes);
    return true;
}

void LanguageFile::parse(QByteArrayView bytes)
{
    m_lines.clear();
    const auto startsWith = [&bytes](const char *bom, qsizetype n) {
        return bytes.size() >= n && bytes.first(n) == QByteArrayView(bom, n);
    };
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) {
        // A UTF-16 file (from an editor that saves "Unicode"): decoded whole.
        QStringDecoder utf16(startsWith("\xFF\xFE", 2) ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        QString text = utf16(bytes.sliced(2));
        text.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter));
        qsizetype p = 0;
        while (p < text.size()) {
            qsizetype q = p;
            while (q < text.size() && text[q] != u'\n' && text[q] != u'\r')
                ++q;
            m_lines.append(text.mid(p, q - p));
            if (q + 1 < text.size() && text[q] == u'\r' && text[q + 1] == u'\n')
                ++q;
            p = q + 1;
        }
        return;
    }
    if (startsWith("\xEF\xBB\xBF", 3))
        bytes = bytes.sliced(3);
    // Lines end at CR LF, LF or CR; a NUL byte is just a bad character here.
    const char *p = bytes.data();
    const char *end = p + bytes.size();
    while (p < end) {
        const char *q = p;
        while (q < end && *q != '\n' && *q != '\r')
            ++q;
        m_lines.append(decodeLine(QByteArrayView(p, q - p)));
        if (q + 1 < end && q[0] == '\r' && q[1] == '\n')
            ++q;
        p = q + 1;
    }
}

qsizetype LanguageFile::findSection(QStringView name) const
{
    const QStringView wanted = trimBlanks(name);
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const auto s = sectionName(m_lines[i]);
        if (s && s->compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

qsizetype LanguageFile::sectionEnd(qsizetype header) const
{
    qsizetype i = header + 1;
    while (i < m_lines.size() && !sectionName(m_lines[i]))
        ++i;
    return i;
}

bool LanguageFile::hasSection(QStringView section) const
{
    return findSection(section) >= 0;
}

QList<LanguageFile::Entry> LanguageFile::section(QStringView section) const
{
    QList<Entry> entries;
    const qsizetype header = findSection(section);
    if (header < 0)
        return entries;
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const QStringView key = keyOf(m_lines[i]);
        if (!key.isEmpty())
            entries.append(Entry{key.toString(), valueOf(m_lines[i])});
    }
    return entries;
}

void LanguageFile::setValues(QStringView section, const QList<Entry> &entries)
{
    qsizetype header = findSection(section);
    if (header < 0) {
        // Sections apart by a blank line, as people write them.
        if (!m_lines.isEmpty() && !isBlankLine(m_lines.last()))
            m_lines.append(QString());
        m_lines.append(u'[' + trimBlanks(section).toString() + u']');
        header = m_lines.size() - 1;
    }
    const qsizetype end = sectionEnd(header);
    // Where each existing key stands (its last line, the one a translation
    // ends with when a key is there twice), and where new keys go:
    // after the last key, before the blank lines that end the section.
    QHash<QString, qsizetype> at;
    qsizetype insertAt = header + 1;
    for (qsizetype i = header + 1; i < end; ++i) {
        const QStringView key = keyOf(m_lines[i]);
        if (key.isEmpty())
            continue;
        at.insert(key.toString().toLower(), i);
        insertAt = i + 1;
    }
    QStringList added;
    QHash<QString, qsizetype> addedAt;
    for (const Entry &e : entries) {
        const QString key = trimBlanks(e.key).toString();
        if (key.isEmpty())
            continue;
        const QString lower = key.toLower();
        if (const auto it = at.constFind(lower); it != at.cend()) {
            const QString line = keyOf(m_lines[*it]).toString() + u'=' + encodedValue(e.value);
            m_lines[*it] = line;
        } else if (const auto n = addedAt.constFind(lower); n != addedAt.cend()) {
            added[*n] = key + u'=' + encodedValue(e.value);
        } else {
            addedAt.insert(lower, added.size());
            added.append(key + u'=' + encodedValue(e.value));
        }
    }
    for (qsizetype i = 0; i < added.size(); ++i)
        m_lines.insert(insertAt + i, added[i]);
}

QByteArray LanguageFile::serialize() const
{
    QByteArray out;
    for (const QString &line : m_lines) {
        out += line.toUtf8();
        out += "\r\n";
    }
    return out;
}

bool LanguageFile::save(const QString &path, QString *error) const
{
    return writeFileAtomically(path, serialize(), error);
}

} // namespace varnholt
