#include "receivedmessage.h"

#include "mime/encodings.h"

#include <QHash>
#include <QStringDecoder>

#include <optional>

namespace varnholt {

namespace {

// Deeper nesting than this is not a message anyone sends; its parts are
// left out rather than followed.
constexpr int kMaxDepth = 32;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArrayView trimmedView(QByteArrayView text)
{
    return text.trimmed();
}

// Bytes that are not an encoded word: UTF-8 when they are, else Latin-1.
QString looseText(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

// Text in the charset a label names (RFC 2231 5: a "*language" suffix is
// not part of the name).
QString decodeIn(QByteArrayView bytes, QByteArrayView label)
{
    if (const qsizetype star = label.indexOf('*'); star >= 0)
        label = label.first(star);
    const QString name = QString::fromLatin1(label).trimmed();
    if (name.isEmpty() || name.compare(u"utf-8", Qt::CaseInsensitive) == 0
        || name.compare(u"us-ascii", Qt::CaseInsensitive) == 0)
        return QString::fromUtf8(bytes);
    const std::u32string points = decodeCharset(bytes, CharsetFromName(name));
    return QString::fromUcs4(points.data(), qsizetype(points.size()));
}

// One encoded word "=?charset?B|Q?text?=" starting at `at`; its decoded text
// and where it ends, or nothing when the bytes there are not one.
struct EncodedWord {
    QString text;
    qsizetype end = 0;
};

std::optional<EncodedWord> encodedWordAt(QByteArrayView value, qsizetype at)
{
    if (!value.sliced(at).startsWith("=?"))
        return std::nullopt;
    const qsizetype q1 = value.indexOf('?', at + 2);
    if (q1 < 0 || q1 + 2 >= value.size() || value[q1 + 2] != '?')
        return std::nullopt;
    const char coding = char(value[q1 + 1] | 0x20);
    if (coding != 'b' && coding != 'q')
        return std::nullopt;
    const qsizetype close = value.indexOf("?=", q1 + 3);
    if (close < 0)
        return std::nullopt;
    const QByteArrayView charset = value.sliced(at + 2, q1 - at - 2);
    const QByteArrayView payload = value.sliced(q1 + 3, close - q1 - 3);
    if (payload.contains(' ') || payload.contains('\t'))
        return std::nullopt; // RFC 2047 5: an encoded word holds no blank
    QByteArray bytes;
    if (coding == 'b') {
        bytes = QByteArray::fromBase64(payload.toByteArray());
    } else {
        // RFC 2047 4.2: "_" is a blank, "=XX" a byte.
        bytes.reserve(payload.size());
        for (qsizetype i = 0; i < payload.size(); ++i) {
            const char c = payload[i];
            if (c == '_') {
                bytes += ' ';
            } else if (c == '=' && i + 2 < payload.size() && hexValue(payload[i + 1]) >= 0
                       && hexValue(payload[i + 2]) >= 0) {
                bytes += char(hexValue(payload[i + 1]) * 16 + hexValue(payload[i + 2]));
                i += 2;
            } else {
                bytes += c;
            }
        }
    }
    return EncodedWord{decodeIn(bytes, charset), close + 2};
}

struct RawField {
    QByteArray name;
    QByteArray value; // unfolded
};

// RFC 5322 2.2.3: a line that starts with a blank continues the field
// before it; unfolding removes only the line break.
QList<RawField> readFields(QByteArrayView block)
{
    QList<RawField> fields;
    qsizetype at = 0;
    while (at < block.size()) {
        qsizetype eol = block.indexOf('\n', at);
        if (eol < 0)
            eol = block.size();
        QByteArrayView line = block.sliced(at, eol - at);
        if (line.endsWith('\r'))
            line.chop(1);
        at = eol + 1;
        if (line.isEmpty())
            continue;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.isEmpty()) {
            fields.last().value += line;
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue; // not a field: a receiver skips it
        fields.append({trimmedView(line.first(colon)).toByteArray(), trimmedView(line.sliced(colon + 1)).toByteArray()});
    }
    return fields;
}

QByteArray fieldValue(const QList<RawField> &fields, QByteArrayView name)
{
    for (const RawField &f : fields) {
        if (QByteArrayView(f.name).compare(name, Qt::CaseInsensitive) == 0)
            return f.value;
    }
    return {};
}

// "type/subtype; name=value; name="quoted value"" (RFC 2045 5.1): the value
// before the first ";" in lower case, and the parameters by lower-case name.
struct Structured {
    QByteArray value;
    QHash<QByteArray, QString> params;
};

Structured parseStructured(QByteArrayView text)
{
    Structured out;
    qsizetype at = 0;
    const auto nextSegment = [&]() {
        // Up to the next ";" outside quotes.
        QByteArray segment;
        bool quoted = false;
        for (; at < text.size(); ++at) {
            const char c = text[at];
            if (quoted && c == '\\' && at + 1 < text.size()) {
                segment += c;
                segment += text[++at];
                continue;
            }
            if (c == '"')
                quoted = !quoted;
            else if (c == ';' && !quoted)
                break;
            segment += c;
        }
        ++at; // past the ";"
        return segment.trimmed();
    };
    out.value = nextSegment().toLower();
    while (at < text.size()) {
        const QByteArray segment = nextSegment();
        const qsizetype eq = segment.indexOf('=');
        if (eq <= 0)
            continue;
        QByteArray name = segment.first(eq).trimmed().toLower();
        QByteArray raw = segment.sliced(eq + 1).trimmed();
        if (raw.size() >= 2 && raw.startsWith('"') && raw.endsWith('"')) {
            QByteArray unquoted;
            for (qsizetype i = 1; i + 1 < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 2 < raw.size())
                    ++i;
                unquoted += raw[i];
            }
            raw = unquoted;
        }
        if (name.endsWith('*')) {
            // RFC 2231 4: charset'language'percent-encoded.
            name.chop(1);
            const qsizetype q1 = raw.indexOf('\'');
            const qsizetype q2 = q1 < 0 ? -1 : raw.indexOf('\'', q1 + 1);
            if (q2 > 0) {
                out.params.insert(name, decodeIn(QByteArray::fromPercentEncoding(raw.sliced(q2 + 1)), raw.first(q1)));
                continue;
            }
        }
        out.params.insert(name, DecodeHeaderValue(raw));
    }
    return out;
}

// The entity's header block and body, split at the first empty line.
std::pair<QByteArrayView, QByteArrayView> splitEntity(QByteArrayView entity)
{
    if (entity.startsWith("\r\n"))
        return {QByteArrayView(), entity.sliced(2)};
    if (entity.startsWith("\n"))
        return {QByteArrayView(), entity.sliced(1)};
    const qsizetype crlf = entity.indexOf("\r\n\r\n");
    const qsizetype lf = entity.indexOf("\n\n");
    if (crlf < 0 && lf < 0)
        return {entity, QByteArrayView()};
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return {entity.first(crlf + 2), entity.sliced(crlf + 4)};
    return {entity.first(lf + 1), entity.sliced(lf + 2)};
}

// The parts of a multipart body between its delimiter lines (RFC 2046
// 5.1.1): the line break before a delimiter belongs to the delimiter.
QList<QByteArrayView> splitMultipart(QByteArrayView body, QByteArrayView boundary)
{
    QList<QByteArrayView> parts;
    if (boundary.isEmpty())
        return parts;
    const QByteArray delimiter = "--" + boundary.toByteArray();
    qsizetype from = 0;
    qsizetype partStart = -1;
    while (from <= body.size()) {
        const qsizetype at = body.indexOf(delimiter, from);
        if (at < 0)
            break;
        if (at > 0 && body[at - 1] != '\n') {
            from = at + 1;
            continue;
        }
        qsizetype eol = body.indexOf('\n', at);
        const qsizetype lineEnd = eol < 0 ? body.size() : eol + 1;
        if (eol < 0)
            eol = body.size();
        const QByteArrayView rest = body.sliced(at + delimiter.size(), eol - at - delimiter.size()).trimmed();
        const bool closing = rest.startsWith("--");
        if (!closing && !rest.isEmpty()) {
            from = at + 1; // the boundary's text inside a longer line
            continue;
        }
        if (partStart >= 0) {
            qsizetype end = at;
            if (end > partStart && body[end - 1] == '\n')
                --end;
            if (end > partStart && body[end - 1] == '\r')
                --end;
            parts.append(body.sliced(partStart, end - partStart));
        }
        if (closing)
            return parts;
        partStart = lineEnd;
        from = lineEnd;
    }
    if (partStart >= 0 && partStart < body.size())
        parts.append(body.sliced(partStart)); // never closed: a receiver keeps the last part
    return parts;
}

// Bytes of a base64 text once decoded, without decoding it.
qint64 base64Size(QByteArrayView text)
{
    qint64 symbols = 0;
    qint64 padding = 0;
    for (const char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/')
            ++symbols;
        else if (c == '=')
            ++padding;
    }
    return (symbols + padding) / 4 * 3 - padding + (symbols + padding) % 4 * 3 / 4;
}

QByteArray decodeTransfer(QByteArrayView body, QByteArrayView encoding)
{
    if (encoding.compare("base64", Qt::CaseInsensitive) == 0)
        return QByteArray::fromBase64(body.toByteArray());
    if (encoding.compare("quoted-printable", Qt::CaseInsensitive) == 0)
        return DecodeQuotedPrintable(body);
    return body.toByteArray();
}

QString textOf(const QByteArray &bytes, const Structured &type)
{
    QString text = decodeIn(bytes, type.params.value("charset").toLatin1());
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

void readEntity(QByteArrayView entity, ReceivedMessage &out, int depth, bool top)
{
    const auto [block, body] = splitEntity(entity);
    const QList<RawField> fields = readFields(block);
    if (top) {
        for (const RawField &f : fields)
            out.headers.append({QString::fromLatin1(f.name), DecodeHeaderValue(f.value)});
    }
    Structured type = parseStructured(fieldValue(fields, "Content-Type"));
    if (type.value.isEmpty())
        type.value = "text/plain"; // RFC 2045 5.2
    const QByteArray encoding = fieldValue(fields, "Content-Transfer-Encoding").trimmed();

    if (type.value.startsWith("multipart/")) {
        if (depth >= kMaxDepth)
            return;
        for (const QByteArrayView part : splitMultipart(body, type.params.value("boundary").toLatin1()))
            readEntity(part, out, depth + 1, false);
        return;
    }

    const Structured disposition = parseStructured(fieldValue(fields, "Content-Disposition"));
    const bool attachment = disposition.value == "attachment";
    QByteArray contentId = fieldValue(fields, "Content-ID").trimmed();
    if (contentId.startsWith('<') && contentId.endsWith('>'))
        contentId = contentId.sliced(1, contentId.size() - 2);

    if (!attachment && type.value == "text/plain" && !out.hasPlainText) {
        out.hasPlainText = true;
        out.plainText = textOf(decodeTransfer(body, encoding), type);
        return;
    }
    if (!attachment && type.value == "text/html" && !out.hasHtml) {
        out.hasHtml = true;
        out.html = textOf(decodeTransfer(body, encoding), type);
        return;
    }

    ReceivedPart part;
    part.type = type.value;
    part.fileName = disposition.params.value("filename", type.params.value("name"));
    part.contentId = contentId;
    part.attachment = attachment;
    if (!contentId.isEmpty()) {
        part.data = decodeTransfer(body, encoding);
        part.size = part.data.size();
        out.pictures.append(part);
        return;
    }
    // Attachments are only listed: their size without a decoded copy.
    part.size = encoding.compare("base64", Qt::CaseInsensitive) == 0 ? base64Size(body)
                                                                      : decodeTransfer(body, encoding).size();
    out.attachments.append(part);
}

} // namespace

QString DecodeHeaderValue(QByteArrayView value)
{
    QString out;
    qsizetype at = 0;
    qsizetype plainStart = 0;
    bool lastWasEncoded = false;
    while (at < value.size()) {
        const qsizetype next = value.indexOf("=?", at);
        if (next < 0)
            break;
        const auto word = encodedWordAt(value, next);
        if (!word) {
            at = next + 2;
            continue;
        }
        const QByteArrayView between = value.sliced(plainStart, next - plainStart);
        // RFC 2047 6.2: blanks between two encoded words are not shown.
        if (!(lastWasEncoded && between.trimmed().isEmpty()))
            out += looseText(between);
        out += word->text;
        lastWasEncoded = true;
        at = plainStart = word->end;
    }
    out += looseText(value.sliced(plainStart));
    return out;
}

QByteArray DecodeQuotedPrintable(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '=') {
            out += c;
            continue;
        }
        // A soft line break: "=" and the blanks after it, then the line end.
        qsizetype j = i + 1;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\t'))
            ++j;
        if (j < text.size() && (text[j] == '\r' || text[j] == '\n')) {
            if (text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n')
                ++j;
            i = j;
            continue;
        }
        if (j == text.size()) {
            i = j;
            continue;
        }
        if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c; // a lone "=" stays as it is (RFC 2045 6.7, note 1)
        }
    }
    return out;
}

QString ReceivedMessage::header(QStringView name) const
{
    for (const Field &f : headers) {
        if (name.compare(f.name, Qt::CaseInsensitive) == 0)
            return f.value;
    }
    return {};
}

const ReceivedPart *ReceivedMessage::picture(QByteArrayView contentId) const
{
    for (const ReceivedPart &p : pictures) {
        if (QByteArrayView(p.contentId) == contentId)
            return &p;
    }
    return nullptr;
}

ReceivedMessage ReceivedMessage::read(QByteArrayView message)
{
    ReceivedMessage out;
    readEntity(message, out, 0, true);
    return out;
}

} // namespace varnholt
