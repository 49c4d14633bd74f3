#include "mime/mimeassembler.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <utility>

namespace varnholt {

namespace {

constexpr qsizetype TextChunk = 2048;
constexpr qsizetype ChunkLimit = 64 * 1024;
constexpr int Base64LineChars = 60;
constexpr qsizetype Base64LineBytes = Base64LineChars / 4 * 3; // 45
// RFC 5321 4.5.3.1.6: a text line may hold at most 998 characters.
constexpr qsizetype LongestTextLine = 998;

QByteArray makeBoundary()
{
    QByteArray b("----------");
    for (int i = 0; i < 12; ++i)
        b += QByteArray::number(QRandomGenerator::global()->bounded(255), 16).toUpper();
    return b;
}

bool hasLineBreak(QStringView line)
{
    // No branch per character: the compiler makes vector code of it.
    const char16_t *p = line.utf16();
    unsigned found = 0;
    for (qsizetype i = 0; i < line.size(); ++i)
        found |= unsigned(p[i] == u'\r') | unsigned(p[i] == u'\n');
    return found != 0;
}

// The lines of a body, each entry split again at any CR LF, CR or LF it
// holds, so that only CR LF pairs reach the wire.
QStringList normalisedLines(const QStringList &lines)
{
    if (std::none_of(lines.cbegin(), lines.cend(), [](const QString &line) { return hasLineBreak(line); }))
        return lines;
    QStringList out;
    out.reserve(lines.size());
    for (const QString &line : lines) {
        if (!hasLineBreak(line)) {
            out.append(line);
            continue;
        }
        QString l = line;
        l.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        out.append(l.split(u'\n'));
    }
    return out;
}

// Appends by copying into place: QByteArray's own append may share or
// reallocate where a plain copy will do.
void appendBytes(QByteArray &out, QByteArrayView bytes)
{
    const qsizetype at = out.size();
    out.resize(at + bytes.size());
    std::memcpy(out.data() + at, bytes.data(), size_t(bytes.size()));
}

bool hasOverlongLine(QByteArrayView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        if (end - start > LongestTextLine + 1)
            return true;
        start = end + 1;
    }
    return false;
}

// "Name:" with a name of printable ASCII (RFC 5322 3.6.8).
bool isHeaderLine(const QString &line)
{
    const qsizetype colon = line.indexOf(u':');
    if (colon <= 0)
        return false;
    for (qsizetype i = 0; i < colon; ++i) {
        if (line[i].unicode() < 0x21 || line[i].unicode() > 0x7E)
            return false;
    }
    return true;
}

// Whether a Content-Type label stands for exactly these bytes.
bool labelNames(const QByteArray &label, TMimeChar charset)
{
    const QByteArray upper = label.toUpper();
    const QByteArray canonical = CharsetName(charset).toUpper();
    if (upper == canonical)
        return true;
    if (canonical.startsWith("WINDOWS-"))
        return upper == "X-CP" + canonical.mid(8) || upper == "CP" + canonical.mid(8);
    return charset == TMimeChar::UTF_8 && upper == "UTF8";
}

QByteArray quotedParameter(QByteArray value)
{
    // RFC 5322 3.2.4: backslash and double quote as quoted-pairs.
    value.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + value + '"';
}

QString mediaTypeOf(QFile &file)
{
    static const QMimeDatabase db;
    const QString name = QFileInfo(file.fileName()).fileName();
    const bool knownName = !db.mimeTypesForFileName(name).isEmpty();
    QMimeType type = db.mimeTypeForFileNameAndData(name, &file);
    if (type.name() == u"application/x-zerosize")
        type = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (!knownName && type.name() == u"text/plain") {
        // The content guess calls anything without control characters
        // text; bytes that are not even UTF-8 are better left unnamed.
        file.seek(0);
        QByteArray sample = file.peek(4096);
        if (sample.size() == 4096)
            sample.chop(3); // a character cut at the end of the sample
        const std::u32string cps = decodeCharset(sample, TMimeChar::UTF_8);
        if (cps.find(U'\uFFFD') != std::u32string::npos && !sample.contains("\xEF\xBF\xBD"))
            type = QMimeType();
    }
    file.seek(0);
    if (!type.isValid() || type.isDefault())
        return QStringLiteral("application/octet-stream");
    return type.name();
}

} // namespace

struct MimeAssembler::Private {
    enum class Kind { Lines, Text, Picture, Attachment };
    struct Step {
        Kind kind;
        QByteArray lines; // Lines: ready wire text; Text: which body
        qsizetype index = 0;    // Text: 0 plain, 1 HTML; files: entry index
        QByteArray boundary;    // files
    };

    MimeAssembler *q;
    MimeInputs in;
    TMimeChar charset;
    QByteArray label;
    bool textFlag = false, attachFlag = false, htmlFlag = false, pictureFlag = false;
    QList<QByteArray> boundaries;
    QByteArray bodies[2];
    bool qp[2] = {false, false};

    QList<Step> plan;
    qsizetype step = 0;
    bool aborted = false;
    bool finished = false;

    // Progress inside the current step.
    bool stepStarted = false;
    qsizetype textDone = 0;
    int qpLinePos = 0;
    std::unique_ptr<QFile> file; // made for the first picture or attachment
    QByteArray readBuffer;

    QByteArray out;
    QByteArray partialLine; // the unfinished last line of the previous chunk
    bool atLineStart = true;

    Private(MimeAssembler *owner, MimeInputs inputs);
    void chooseCharset();
    QByteArray word(QStringView text, qsizetype firstColumn = 0) const;
    QByteArray headerBlock();
    void buildPlan();
    // Wire text; follows the previous step's text when that is wire text too.
    void lines(const QByteArray &text)
    {
        if (!plan.isEmpty() && plan.last().kind == Kind::Lines)
            appendBytes(plan.last().lines, text);
        else
            plan.append({Kind::Lines, text, 0, {}});
    }
    void textPart(int which) { plan.append({Kind::Text, {}, which, {}}); }

    void put(QByteArrayView data);
    void advance();
    void advanceText(int which);
    void advanceFile(const Step &s);
    void endStep();
};

MimeAssembler::Private::Private(MimeAssembler *owner, MimeInputs inputs)
    : q(owner), in(std::move(inputs))
{
    in.MailText = normalisedLines(in.MailText);
    in.HtmlText = normalisedLines(in.HtmlText);
    textFlag = !in.MailText.isEmpty();
    attachFlag = !in.Attachments.isEmpty();
    htmlFlag = in.TypeContent == tcHtml;
    pictureFlag = htmlFlag && !in.HtmlFiles.isEmpty();
    // Every picture needs its content ID; an unpaired entry has none.
    while (in.HtmlCids.size() < in.HtmlFiles.size())
        in.HtmlCids.append(QString());

    if (attachFlag)
        boundaries.append(makeBoundary());
    if (textFlag && htmlFlag)
        boundaries.append(makeBoundary());
    if (pictureFlag)
        boundaries.append(makeBoundary());

    chooseCharset();
    buildPlan();
}

// The texts go out in the chosen charset only when every character of them
// has its own byte sequence there; otherwise the whole message is UTF-8.
void MimeAssembler::Private::chooseCharset()
{
    charset = in.MimeChar;
    label = headerSafe(in.Charset.toLatin1()).replace('"', "").replace('\\', "").trimmed();

    const auto representable = [this](QStringView text) {
        return isAscii(text) || encodeCharset(codePoints(text), charset).has_value();
    };
    // The header texts: names, subject, further lines, file names.
    const auto headersRepresentable = [&] {
        if (!representable(in.FROM_Name) || !representable(in.Subject))
            return false;
        for (const QStringList *list : {&in.ListTo, &in.Listcc}) {
            for (const QString &entry : *list) {
                const qsizetype bar = entry.indexOf(u'|');
                if (bar >= 0 && !representable(QStringView(entry).sliced(bar + 1)))
                    return false;
            }
        }
        if (!std::all_of(in.Headers.cbegin(), in.Headers.cend(), representable))
            return false;
        for (const QStringList *list : {&in.HtmlFiles, &in.Attachments}) {
            for (const QString &path : *list) {
                if (!representable(QFileInfo(path).fileName()))
                    return false;
            }
        }
        return true;
    };
    const auto encodeBodies = [this] {
        for (int i = 0; i < 2; ++i) {
            const QStringList &lineList = i == 0 ? in.MailText : in.HtmlText;
            qsizetype size = 0;
            for (const QString &line : lineList)
                size += line.size() + 2;
            QByteArray &body = bodies[i];
            body.resize(size);
            // ASCII lines are written straight into place; from the first
            // line that is not, line by line through the converter.
            qsizetype at = 0;
            qsizetype line = 0;
            if (isEightBit(charset) || charset == TMimeChar::UTF_8) {
                char *p = body.data();
                for (; line < lineList.size(); ++line) {
                    const QString &text = lineList[line];
                    if (copyAscii(p + at, text) < text.size())
                        break;
                    at += text.size();
                    p[at++] = '\r';
                    p[at++] = '\n';
                }
            }
            body.truncate(at);
            for (; line < lineList.size(); ++line) {
                if (!appendEncoded(body, lineList[line], charset))
                    return false;
                body += "\r\n";
            }
        }
        return true;
    };
    if (!headersRepresentable() || !encodeBodies()) {
        charset = TMimeChar::UTF_8;
        label = "UTF-8";
        encodeBodies();
    }
    // High bytes are among the bytes that need quoted-printable.
    bool bodyHasHighBytes = !isEightBit(charset);
    for (int i = 0; i < 2; ++i) {
        const bool other = NeedsQuotedPrintable(bodies[i]);
        qp[i] = other || hasOverlongLine(bodies[i]);
        bodyHasHighBytes = bodyHasHighBytes || (other && HasHighBytes(bodies[i]));
    }
    if (label.isEmpty() || (bodyHasHighBytes && !labelNames(label, charset)))
        label = CharsetName(charset);
}

QByteArray MimeAssembler::Private::word(QStringView text, qsizetype firstColumn) const
{
    return encodeHeaderWord(text, charset, in.HdrCoding, firstColumn);
}

void MimeAssembler::Private::buildPlan()
{
    plan.reserve(8 + in.HtmlFiles.size() + in.Attachments.size());
    // The header block is gathered in one piece.
    QByteArray head;
    head.reserve(1024);
    const auto header = [&head](QByteArrayView line) {
        // A short line without a line break has nothing to fold.
        if (line.size() <= 78 && !std::memchr(line.data(), '\r', size_t(line.size())))
            appendBytes(head, line);
        else
            appendBytes(head, foldHeaderLine(line));
        appendBytes(head, "\r\n");
    };
    const auto addressHeader = [&](QByteArrayView field, QStringView name, QStringView address) {
        QByteArray line = field.toByteArray();
        if (!name.isEmpty()) {
            line += word(name, line.size());
            line += " <";
        }
        line += headerSafe(address.toUtf8());
        if (!name.isEmpty())
            line += '>';
        header(line);
    };
    {
        QByteArray from = "From: " + word(in.FROM_Name, 6) + " <";
        from += headerSafe(in.FROM_Address.toUtf8());
        from += '>';
        header(from);
    }
    const auto recipients = [&](const QStringList &list, QByteArrayView field) {
        for (const QString &entry : list) {
            const qsizetype bar = entry.indexOf(u'|');
            const QStringView address = bar < 0 ? QStringView(entry) : QStringView(entry).first(bar);
            const QStringView name = bar < 0 ? QStringView() : QStringView(entry).sliced(bar + 1);
            addressHeader(field, name, address);
        }
    };
    recipients(in.ListTo, "To: ");
    recipients(in.Listcc, "cc: ");
    if (!in.Subject.isEmpty())
        header(encodeHeaderLine(QStringView(QStringLiteral("Subject: ") + in.Subject), charset, in.HdrCoding));
    header("Mime-Version: 1.0");
    for (const QString &line : in.Headers) {
        // A line that is not "Name: value" would end the header block or
        // corrupt it; it is left out.
        if (isHeaderLine(line))
            header(encodeHeaderLine(QStringView(line), charset, in.HdrCoding));
    }
    lines(std::exchange(head, QByteArray())); // the plan's copy is then the only one

    const bool exactlyT = textFlag && !htmlFlag && !attachFlag;
    const bool exactlyH = htmlFlag && !textFlag && !attachFlag && !pictureFlag;
    const bool exactlyHP = htmlFlag && pictureFlag && !textFlag && !attachFlag;
    const QByteArray charsetParam = "charset=\"" + label + "\"";
    qsizetype k = -1;
    if (!boundaries.isEmpty()) {
        k = 0;
        const QByteArray subtype = attachFlag ? "mixed" : exactlyHP ? "related" : "alternative";
        lines("Content-Type: multipart/" + subtype + ";\r\n boundary=\"" + boundaries[0] + "\";\r\n " + charsetParam
              + "\r\n");
    } else {
        QByteArray type = headerSafe(in.Content_Type.toUtf8()).trimmed();
        if (type.isEmpty())
            type = htmlFlag ? "text/html" : "text/plain";
        const int single = htmlFlag ? 1 : 0;
        lines("Content-Type: " + type + "; " + charsetParam + "\r\n"
              + (qp[single] ? "Content-Transfer-Encoding: quoted-printable\r\n" : ""));
    }
    lines("\r\n");

    const auto open = [&](const QByteArray &subtype, bool trailingSemicolon) {
        ++k;
        lines("Content-Type: multipart/" + subtype + ";\r\n boundary=\"" + boundaries[k] + "\""
              + (trailingSemicolon ? ";" : "") + "\r\n\r\n--" + boundaries[k] + "\r\n");
    };
    const auto close = [&]() {
        lines("\r\n--" + boundaries[k] + "--\r\n");
        --k;
    };

    if (textFlag) {
        if (k >= 0)
            lines("--" + boundaries[k] + "\r\n");
        if (attachFlag && htmlFlag && k < boundaries.size() - 1)
            open("alternative", false);
        if (!exactlyT)
            lines("Content-Type: text/plain; " + charsetParam + "\r\n"
                  + (qp[0] ? "Content-Transfer-Encoding: quoted-printable\r\n" : "") + "\r\n");
        textPart(0);
    }
    if (htmlFlag) {
        if (!exactlyH) {
            lines("--" + boundaries[k] + "\r\n");
            const bool inRelated = k == boundaries.size() - 1 && pictureFlag;
            if (pictureFlag && !inRelated)
                open("related", true);
            lines("Content-Type: text/html; " + charsetParam + "\r\nContent-Transfer-Encoding: "
                  + (qp[1] ? "Quoted-Printable" : "7bit") + "\r\n\r\n");
        }
        textPart(1);
        if (pictureFlag) {
            for (qsizetype j = 0; j < in.HtmlFiles.size(); ++j)
                plan.append({Kind::Picture, {}, j, boundaries[k]});
            close();
        }
        if (k > 0)
            close();
    }
    if (attachFlag) {
        for (qsizetype i = 0; i < in.Attachments.size(); ++i)
            plan.append({Kind::Attachment, {}, i, boundaries[k]});
    }
    if (k >= 0)
        lines("\r\n--" + boundaries[k] + "--\r\n");
}

// Appends wire text, doubling a "." that opens a line (RFC 5321 4.5.2).
// The text goes on in one piece up to the next line that opens with ".".
void MimeAssembler::Private::put(QByteArrayView data)
{
    while (!data.isEmpty()) {
        if (atLineStart && data.front() == '.')
            out.append('.');
        const char *begin = data.data();
        const char *end = begin + data.size();
        const char *cut = nullptr; // just after a line end followed by "."
        for (const char *p = begin; (p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)))); ) {
            ++p;
            if (p < end && *p == '.') {
                cut = p;
                break;
            }
        }
        if (!cut) {
            out.append(data);
            atLineStart = data.back() == '\n';
            return;
        }
        out.append(data.first(cut - begin));
        atLineStart = true;
        data = data.sliced(cut - begin);
    }
}

void MimeAssembler::Private::endStep()
{
    ++step;
    stepStarted = false;
    if (file && file->isOpen())
        file->close();
}

void MimeAssembler::Private::advance()
{
    const Step &s = plan[step];
    switch (s.kind) {
    case Kind::Lines:
        put(s.lines);
        endStep();
        break;
    case Kind::Text:
        advanceText(int(s.index));
        break;
    case Kind::Picture:
    case Kind::Attachment:
        advanceFile(s);
        break;
    }
}

void MimeAssembler::Private::advanceText(int which)
{
    const QByteArray &body = bodies[which];
    if (!stepStarted) {
        stepStarted = true;
        textDone = 0;
        qpLinePos = 0;
        Q_EMIT q->miPartSize(body.size());
        if (aborted)
            return;
    }
    if (textDone < body.size()) {
        const QByteArrayView piece = QByteArrayView(body).sliced(textDone, qMin(TextChunk, body.size() - textDone));
        if (qp[which])
            put(QpEncodeBody(piece, qpLinePos));
        else
            put(piece);
        textDone += piece.size();
        Q_EMIT q->miPartProgress(textDone);
        if (textDone < body.size())
            return;
    }
    // The end of the part: its last line ends here.
    put("\r\n");
    endStep();
}

void MimeAssembler::Private::advanceFile(const Step &s)
{
    const bool picture = s.kind == Kind::Picture;
    const QString path = picture ? in.HtmlFiles[s.index] : in.Attachments[s.index];
    if (!stepStarted) {
        stepStarted = true;
        Q_EMIT q->miFile(path);
        if (aborted)
            return;
        if (!file)
            file = std::make_unique<QFile>();
        file->setFileName(path);
        if (path.isEmpty() || !file->open(QIODevice::ReadOnly) || QFileInfo(*file).isDir()) {
            // Nothing of the part was written; the message goes on without it.
            Q_EMIT q->miFileError(path);
            endStep();
            return;
        }
        const QByteArray name = quotedParameter(word(QFileInfo(path).fileName()));
        QByteArray head = "\r\n--" + s.boundary + "\r\nContent-Type: " + mediaTypeOf(*file).toLatin1();
        if (picture) {
            head += "\r\nContent-ID: <" + headerSafe(in.HtmlCids[s.index].toUtf8()) + ">"
                + "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: inline; filename=" + name;
        } else {
            head += ";\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=" + name;
        }
        put(foldHeaderLine(head + "\r\n\r\n"));
        return;
    }

    // As many whole base64 lines as fit in this chunk.
    const qsizetype room = qMax<qsizetype>(ChunkLimit - out.size(), Base64LineChars + 2);
    const qsizetype want = room / (Base64LineChars + 2) * Base64LineBytes;
    readBuffer.resize(want);
    qsizetype got = 0;
    while (got < want) {
        const qint64 n = file->read(readBuffer.data() + got, want - got);
        if (n <= 0) {
            if (n < 0) {
                // Read error: what was sent stays; the part is closed.
                appendBase64Lines(out, QByteArrayView(readBuffer).first(got), Base64LineChars);
                Q_EMIT q->miFileError(path);
                if (!picture)
                    put("\r\n");
                endStep();
                return;
            }
            break;
        }
        got += n;
    }
    appendBase64Lines(out, QByteArrayView(readBuffer).first(got), Base64LineChars);
    if (got == want)
        return;
    if (!picture)
        put("\r\n");
    endStep();
}

MimeAssembler::MimeAssembler(MimeInputs inputs, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this, std::move(inputs)))
{
}

MimeAssembler::~MimeAssembler() = default;

bool MimeAssembler::atEnd() const
{
    return d->aborted || d->finished;
}

QByteArray MimeAssembler::nextChunk()
{
    if (atEnd())
        return {};
    d->out = std::exchange(d->partialLine, QByteArray());
    d->out.reserve(ChunkLimit + 8 * 1024);
    while (!d->aborted && d->step < d->plan.size() && d->out.size() < ChunkTarget)
        d->advance();
    if (d->aborted) {
        d->out.clear();
        if (d->file && d->file->isOpen())
            d->file->close();
        return {};
    }
    if (d->step == d->plan.size()) {
        d->out.append(".\r\n");
        d->finished = true;
    } else {
        // A quoted-printable piece may end inside a line; that line goes
        // out whole with the next chunk.
        const qsizetype cut = d->out.lastIndexOf('\n') + 1;
        d->partialLine = d->out.sliced(cut);
        d->out.truncate(cut);
    }
    return std::exchange(d->out, QByteArray());
}

void MimeAssembler::abort()
{
    d->aborted = true;
}

bool MimeAssembler::isAborted() const
{
    return d->aborted;
}

TMimeChar MimeAssembler::messageCharset() const
{
    return d->charset;
}

QByteArray MimeAssembler::charsetLabel() const
{
    return d->label;
}

QList<QByteArray> MimeAssembler::boundaries() const
{
    return d->boundaries;
}

} // namespace varnholt
