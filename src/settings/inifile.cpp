#include "inifile.h"

#include "fields.h"
#include "syscharset.h"
#include "textfile.h"

namespace varnholt {

bool IniFile::load(const QString &path)
{
    m_path = path;
    m_sections.clear();
    const auto bytes = readFileBytes(path);
    if (!bytes)
        return false;
    parse(*bytes);
    return true;
}

void IniFile::parse(QByteArrayView text)
{
    m_sections.clear();
    m_sections.append(Section{});
    forEachLine(text, [this](QByteArrayView raw) {
        const QString line = SystemCharset::toUnicode(raw);
        const QStringView t = trimBlanks(line);
        if (t.startsWith(u'[')) {
            const qsizetype close = t.indexOf(u']');
            if (close > 0) {
                m_sections.append(Section{trimBlanks(t.sliced(1, close - 1)).toString(), {}});
                return;
            }
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && !t.startsWith(u';') && !trimBlanks(QStringView(line).first(eq)).isEmpty()) {
            m_sections.last().lines.append(
                Line{trimBlanks(QStringView(line).first(eq)).toString(), line.mid(eq + 1)});
        } else {
            m_sections.last().lines.append(Line{QString(), line});
        }
    });
    if (m_sections.first().lines.isEmpty())
        m_sections.removeFirst();
}

QByteArray IniFile::serialize() const
{
    QStringList out;
    for (const Section &s : m_sections) {
        if (!s.name.isNull())
            out.append(u'[' + s.name + u']');
        for (const Line &l : s.lines)
            out.append(l.key.isEmpty() ? l.value : l.key + u'=' + l.value);
    }
    return joinLinesCrLf(out);
}

bool IniFile::save(const QString &path, QString *error) const
{
    return writeFileAtomically(path.isEmpty() ? m_path : path, serialize(), error);
}

const IniFile::Section *IniFile::findSection(QStringView name) const
{
    for (const Section &s : m_sections)
        if (!s.name.isNull() && s.name.compare(name, Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

IniFile::Section *IniFile::findSection(QStringView name)
{
    return const_cast<Section *>(std::as_const(*this).findSection(name));
}

const IniFile::Line *IniFile::findLine(QStringView section, QStringView key) const
{
    const Section *s = findSection(section);
    if (!s)
        return nullptr;
    const QStringView k = trimBlanks(key);
    for (const Line &l : s->lines)
        if (!l.key.isEmpty() && l.key.compare(k, Qt::CaseInsensitive) == 0)
            return &l;
    return nullptr;
}

bool IniFile::hasSection(QStringView section) const
{
    return findSection(section) != nullptr;
}

bool IniFile::contains(QStringView section, QStringView key) const
{
    return findLine(section, key) != nullptr;
}

QStringList IniFile::sections() const
{
    QStringList names;
    for (const Section &s : m_sections)
        if (!s.name.isNull())
            names.append(s.name);
    return names;
}

QStringList IniFile::keys(QStringView section) const
{
    QStringList names;
    if (const Section *s = findSection(section))
        for (const Line &l : s->lines)
            if (!l.key.isEmpty())
                names.append(l.key);
    return names;
}

QString IniFile::value(QStringView section, QStringView key, const QString &def) const
{
    const Line *l = findLine(section, key);
    if (!l)
        return def;
    QStringView v = trimBlanks(l->value);
    if (v.size() >= 2 && ((v.front() == u'"' && v.back() == u'"') || (v.front() == u'\'' && v.back() == u'\'')))
        v = v.sliced(1, v.size() - 2);
    return v.toString();
}

int IniFile::intValue(QStringView section, QStringView key, int def) const
{
    const QString v = value(section, key);
    if (v.isEmpty())
        return def;
    bool ok = false;
    int n = v.toInt(&ok, 10);
    if (!ok && (v.startsWith(u"0x", Qt::CaseInsensitive) || v.startsWith(u'$')))
        n = v.mid(v.startsWith(u'$') ? 1 : 2).toInt(&ok, 16);
    return ok ? n : def;
}

bool IniFile::boolValue(QStringView section, QStringView key, bool def) const
{
    return intValue(section, key, def ? 1 : 0) != 0;
}

void IniFile::setValue(QStringView section, QStringView key, const QString &value)
{
    // A value must never start a new line of the file.
    QString v = value;
    v.replace(u'\r', u' ').replace(u'\n', u' ');
    Section *s = findSection(section);
    if (!s) {
        // Keep sections apart by a blank line, as people write them.
        if (!m_sections.isEmpty() && !m_sections.last().lines.isEmpty()) {
            const Line &last = m_sections.last().lines.last();
            if (!last.key.isEmpty() || !trimBlanks(last.value).isEmpty())
                m_sections.last().lines.append(Line{QString(), QString()});
        }
        m_sections.append(Section{section.toString(), {}});
        s = &m_sections.last();
    }
    const QStringView k = trimBlanks(key);
    for (Line &l : s->lines) {
        if (!l.key.isEmpty() && l.key.compare(k, Qt::CaseInsensitive) == 0) {
            l.value = v;
            return;
        }
    }
    // Append after the last key, before trailing blank lines.
    qsizetype at = s->lines.size();
    while (at > 0 && s->lines[at - 1].key.isEmpty() && trimBlanks(s->lines[at - 1].value).isEmpty())
        --at;
    s->lines.insert(at, Line{k.toString(), v});
}

void IniFile::setInt(QStringView section, QStringView key, int value)
{
    setValue(section, key, QString::number(value));
}

void IniFile::setBool(QStringView section, QStringView key, bool value)
{
    setValue(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void IniFile::removeKey(QStringView section, QStringView key)
{
    Section *s = findSection(section);
    if (!s)
        return;
    const QStringView k = trimBlanks(key);
    s->lines.removeIf([&](const Line &l) { return !l.key.isEmpty() && l.key.compare(k, Qt::CaseInsensitive) == 0; });
}

void IniFile::removeSection(QStringView section)
{
    m_sections.removeIf([&](const Section &s) {
        return !s.name.isNull() && s.name.compare(section, Qt::CaseInsensitive) == 0;
    });
}

} // namespace varnholt
