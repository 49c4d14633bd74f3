#include "sending/activecontent.h"

#include <QStringView>

#include <algorithm>
#include <iterator>

namespace varnholt {

namespace {

// What becomes of an element.
enum class Handling {
    Keep,
    DropTag,     // the tags go, what they enclose stays (and is cleaned)
    DropElement, // the tags and everything up to the first end tag go
};

Handling handlingOf(QStringView name)
{
    // Whole elements: their content is script, a frame's or a control's, or
    // foreign content (SVG, MathML) where a reader would parse the rest by
    // other rules than the HTML ones this cleaning follows.
    static constexpr QStringView whole[] = {u"script", u"iframe", u"textarea", u"select", u"svg", u"math"};
    // Tags alone: the fallback content of a plug-in and the text of a form
    // stay readable.
    static constexpr QStringView tags[] = {u"object", u"embed",  u"applet", u"param",    u"form",
                                           u"input",  u"button", u"option", u"optgroup", u"datalist",
                                           u"keygen", u"frame",  u"frameset"};
    if (std::find(std::begin(whole), std::end(whole), name) != std::end(whole))
        return Handling::DropElement;
    if (std::find(std::begin(tags), std::end(tags), name) != std::end(tags))
        return Handling::DropTag;
    return Handling::Keep;
}

// Elements whose content is text up to their end tag, never markup.
bool isRawText(QStringView name)
{
    static constexpr QStringView raw[] = {u"style", u"title", u"xmp", u"noembed", u"noframes", u"noscript"};
    return std::find(std::begin(raw), std::end(raw), name) != std::end(raw);
}

bool isHtmlSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    int d = -1;
    if (u >= u'0' && u <= u'9')
        d = u - u'0';
    else if (u >= u'a' && u <= u'f')
        d = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        d = u - u'A' + 10;
    return d < base ? d : -1;
}

QString asciiLower(QStringView text)
{
    QString lower = text.toString();
    for (QChar &c : lower)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 32);
    return lower;
}

// The value as a reader sees an address in it: character references
// decoded, blanks and control characters (which browsers skip inside a
// scheme) gone, lower case.
QString normalisedValue(QStringView value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        char32_t c = value[i].unicode();
        if (c == u'&' && i + 1 < value.size()) {
            qsizetype j = i + 1;
            if (value[j] == u'#') {
                ++j;
                const bool hex = j < value.size() && (value[j] == u'x' || value[j] == u'X');
                if (hex)
                    ++j;
                char32_t code = 0;
                const qsizetype digits = j;
                while (j < value.size()) {
                    const int d = digitValue(value[j], hex ? 16 : 10);
                    if (d < 0)
                        break;
                    code = std::min<char32_t>(code * (hex ? 16 : 10) + char32_t(d), 0x110000);
                    ++j;
                }
                if (j > digits) {
                    c = code;
                    i = j < value.size() && value[j] == u';' ? j : j - 1;
                }
            } else {
                static const std::pair<QStringView, char16_t> named[] = {
                    {u"colon", u':'}, {u"tab", u'\t'}, {u"newline", u'\n'}, {u"lpar", u'('}, {u"rpar", u')'}};
                for (const auto &[name, ch] : named) {
                    if (value.mid(j).startsWith(name, Qt::CaseInsensitive)) {
                        c = ch;
                        j += name.size();
                        i = j < value.size() && value[j] == u';' ? j : j - 1;
                        break;
                    }
                }
            }
        }
        if (c <= 0x20 || (c >= 0x7f && c <= 0x9f))
            continue;
        if (c >= u'A' && c <= u'Z')
            c += 32;
        if (c > 0xffff)
            out.append(QString::fromUcs4(&c, 1));
        else
            out.append(QChar(char16_t(c)));
    }
    return out;
}

// Why an attribute goes, or nothing when it stays.
QString attributeProblem(QStringView name, QStringView value)
{
    const QString lower = asciiLower(name);
    if (lower.startsWith(u"on"))
        return lower + QStringLiteral(" attribute");
    for (QChar c : name) {
        if (c == u'"' || c == u'\'' || c == u'<' || c == u'=' || c.unicode() < 0x20)
            return QStringLiteral("malformed attribute");
    }
    const QString address = normalisedValue(value);
    for (QStringView scheme : {u"javascript:", u"vbscript:", u"livescript:"}) {
        if (address.contains(scheme))
            return scheme.toString() + QStringLiteral(" address");
    }
    if (lower == u"style"
        && (address.contains(u"expression(") || address.contains(u"behavior:") || address.contains(u"-moz-binding")))
        return QStringLiteral("script in a style attribute");
    return {};
}

struct Attribute {
    qsizetype nameStart = 0;
    qsizetype nameEnd = 0;
    qsizetype valueStart = -1; // -1: no value
    qsizetype valueEnd = -1;
};

struct Tag {
    bool end = false;         // "</name ...>"
    bool selfClosing = false; // ".../>"
    qsizetype nameStart = 0;
    qsizetype nameEnd = 0;
    qsizetype close = -1; // just after its ">"; -1 when the text ends inside it
    std::vector<Attribute> attributes;
};

// A tag from its "<" at `at`, read as an HTML tokenizer reads it.
Tag readTag(const QString &s, qsizetype at)
{
    Tag tag;
    qsizetype i = at + 1;
    if (s[i] == u'/') {
        tag.end = true;
        ++i;
    }
    tag.nameStart = i;
    const qsizetype n = s.size();
    while (i < n && !isHtmlSpace(s[i]) && s[i] != u'/' && s[i] != u'>')
        ++i;
    tag.nameEnd = i;
    while (i < n) {
        const QChar c = s[i];
        if (isHtmlSpace(c)) {
            ++i;
            continue;
        }
        if (c == u'>') {
            tag.close = i + 1;
            return tag;
        }
        if (c == u'/') {
            ++i;
            if (i < n && s[i] == u'>') {
                tag.selfClosing = true;
                tag.close = i + 1;
                return tag;
            }
            continue;
        }
        // An attribute's name: a leading "=" belongs to it.
        Attribute a;
        a.nameStart = i++;
        while (i < n && !isHtmlSpace(s[i]) && s[i] != u'/' && s[i] != u'>' && s[i] != u'=')
            ++i;
        a.nameEnd = i;
        while (i < n && isHtmlSpace(s[i]))
            ++i;
        if (i < n && s[i] == u'=') {
            ++i;
            while (i < n && isHtmlSpace(s[i]))
                ++i;
            if (i < n && (s[i] == u'"' || s[i] == u'\'')) {
                const QChar quote = s[i];
                a.valueStart = ++i;
                while (i < n && s[i] != quote)
                    ++i;
                if (i >= n)
                    return tag; // the text ends inside the value
                a.valueEnd = i++;
            } else if (i < n && s[i] != u'>') {
                a.valueStart = i;
                while (i < n && !isHtmlSpace(s[i]) && s[i] != u'>')
                    ++i;
                a.valueEnd = i;
            } else {
                a.valueStart = a.valueEnd = i; // "name=" and the tag ends
            }
        }
        tag.attributes.push_back(a);
    }
    return tag;
}

// Where the raw text of element `name` ends: at its end tag "</name"
// followed by a blank, "/" or ">"; the end of the text when there is none.
qsizetype rawTextEnd(const QString &s, qsizetype from, QStringView name)
{
    for (qsizetype i = s.indexOf(u"</", from); i >= 0; i = s.indexOf(u"</", i + 2)) {
        const qsizetype after = i + 2 + name.size();
        if (after > s.size())
            break;
        if (QStringView(s).mid(i + 2, name.size()).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (after == s.size() || isHtmlSpace(s[after]) || s[after] == u'/' || s[after] == u'>')
            return i;
    }
    return s.size();
}

// Just after the comment that starts at `at` ("<!--").
qsizetype commentEnd(const QString &s, qsizetype at)
{
    const qsizetype body = at + 4;
    if (QStringView(s).mid(body).startsWith(u">"))
        return body + 1;
    if (QStringView(s).mid(body).startsWith(u"->"))
        return body + 2;
    // "-->" or "--!>", whichever comes first, found in one pass.
    for (qsizetype at = s.indexOf(u"--", body); at >= 0; at = s.indexOf(u"--", at + 1)) {
        const QStringView rest = QStringView(s).mid(at + 2);
        if (rest.startsWith(u'>'))
            return at + 3;
        if (rest.startsWith(u"!>"))
            return at + 4;
    }
    return s.size();
}

class Cleaner
{
public:
    explicit Cleaner(const QString &html)
        : s(html)
    {
        m_result.html.reserve(html.size());
    }

    ActiveContentCleanup run()
    {
        const qsizetype n = s.size();
        qsizetype copied = 0; // s[copied, i) still to be copied
        qsizetype i = 0;
        const auto flush = [&](qsizetype to) {
            m_result.html.append(QStringView(s).mid(copied, to - copied));
            copied = to;
        };
        while ((i = s.indexOf(u'<', i)) >= 0) {
            if (i + 1 >= n)
                break;
            const QChar next = s[i + 1];
            if (next == u'!' || next == u'?' || (next == u'/' && (i + 2 >= n || !isAsciiLetter(s[i + 2])))) {
                // A comment, a declaration or a bogus comment: kept as it is.
                const bool comment = QStringView(s).mid(i).startsWith(u"<!--");
                qsizetype end = comment ? commentEnd(s, i) : s.indexOf(u'>', i + 1);
                i = end < 0 ? n : (comment ? end : end + 1);
                continue;
            }
            if (!isAsciiLetter(next) && next != u'/') {
                // "<" as text: a value merged right after it could open a tag.
                const qsizetype at = m_result.html.size() + (i - copied);
                m_result.tagsWithAttributes.push_back({at, at + 2});
                ++i;
                continue;
            }
            flush(i);
            const Tag tag = readTag(s, i);
            if (tag.close < 0) {
                // The text ends inside the tag: a reader drops it, and so
                // does this.
                copied = i = n;
                break;
            }
            const QString name = asciiLower(QStringView(s).mid(tag.nameStart, tag.nameEnd - tag.nameStart));
            const Handling handling = handlingOf(name);
            if (handling != Handling::Keep) {
                if (!tag.end)
                    ++m_result.removed[u'<' + name + u'>'];
                i = tag.close;
                if (handling == Handling::DropElement && !tag.end && !tag.selfClosing) {
                    // Up to the end tag, which goes too.
                    const qsizetype endTag = rawTextEnd(s, i, name);
                    i = endTag < n ? readTag(s, endTag).close : n;
                    if (i < 0)
                        i = n;
                }
                copied = i;
                continue;
            }
            writeTag(tag, i);
            i = copied = tag.close;
            if (!tag.end && !tag.selfClosing && (isRawText(name) || name == u"plaintext")) {
                // Its text is copied as it stands, to its end tag.
                const qsizetype end = name == u"plaintext" ? n : rawTextEnd(s, i, name);
                flush(end);
                i = end;
            }
        }
        flush(n);
        return std::move(m_result);
    }

private:
    // The tag from `at` into the output: as it stands, or written anew
    // without the attributes that go.
    void writeTag(const Tag &tag, qsizetype at)
    {
        QString &html = m_result.html;
        const QStringView text(s);
        std::vector<bool> keep(tag.attributes.size(), true);
        bool rewrite = tag.end && !tag.attributes.empty(); // an end tag's attributes mean nothing
        for (size_t k = 0; k < tag.attributes.size() && !tag.end; ++k) {
            const Attribute &a = tag.attributes[k];
            const QStringView name = text.mid(a.nameStart, a.nameEnd - a.nameStart);
            const QStringView value =
                a.valueStart >= 0 ? text.mid(a.valueStart, a.valueEnd - a.valueStart) : QStringView();
            if (const QString problem = attributeProblem(name, value); !problem.isEmpty()) {
                ++m_result.removed[problem];
                keep[k] = false;
                rewrite = true;
            } else if (value.contains(u'<') || value.contains(u'>')) {
                rewrite = true;
            }
        }
        const qsizetype start = html.size();
        if (!rewrite) {
            html.append(text.mid(at, tag.close - at));
        } else {
            html.append(tag.end ? u"</" : u"<");
            html.append(text.mid(tag.nameStart, tag.nameEnd - tag.nameStart));
            for (size_t k = 0; k < tag.attributes.size() && !tag.end; ++k) {
                if (!keep[k])
                    continue;
                const Attribute &a = tag.attributes[k];
                html.append(u' ');
                html.append(text.mid(a.nameStart, a.nameEnd - a.nameStart));
                if (a.valueStart < 0)
                    continue;
                html.append(u"=\"");
                for (QChar c : text.mid(a.valueStart, a.valueEnd - a.valueStart)) {
                    switch (c.unicode()) {
                    case u'"': html.append(u"&quot;"); break;
                    case u'<': html.append(u"&lt;"); break;
                    case u'>': html.append(u"&gt;"); break;
                    default: html.append(c);
                    }
                }
                html.append(u'"');
            }
            html.append(tag.selfClosing ? u" />" : u">");
        }
        if (!tag.end && !tag.attributes.empty())
            m_result.tagsWithAttributes.push_back({start, html.size()});
    }

    const QString &s;
    ActiveContentCleanup m_result;
};

} // namespace

ActiveContentCleanup RemoveActiveContent(const QString &html)
{
    return Cleaner(html).run();
}

QString RemovedContentText(const QMap<QString, int> &removed)
{
    QStringList parts;
    for (auto it = removed.cbegin(); it != removed.cend(); ++it)
        parts << QStringLiteral("%1 x %2").arg(it.value()).arg(it.key());
    return parts.join(QStringLiteral(", "));
}

void AddRemovedContent(QMap<QString, int> &into, const QMap<QString, int> &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        into[it.key()] += it.value();
}

} // namespace varnholt
