#include "mailclient/mailreply.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

namespace varnholt {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// RFC 5321 4.2: Reply-code = %x32-35 %x30-35 %x30-39. The second digit is
// taken as any digit: nothing is gained by refusing a "260".
int codeOf(QByteArrayView line)
{
    if (line.size() < 3 || line[0] < '2' || line[0] > '5' || !isDigit(line[1]) || !isDigit(line[2]))
        return 0;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

} // namespace

QString quotedServerLine(QByteArrayView line)
{
    constexpr qsizetype Shown = 200;
    QString text = SystemCharset::toUnicode(line.first(qMin(line.size(), Shown)).toByteArray());
    if (line.size() > Shown)
        text += QLatin1String("...");
    return u'"' + text + u'"';
}

QByteArrayView SmtpReply::lineText(qsizetype i) const
{
    const QByteArray &wire = m_wire.at(i);
    return QByteArrayView(wire).sliced(qMin<qsizetype>(4, wire.size()));
}

QList<QByteArray> SmtpReply::lines() const
{
    QList<QByteArray> texts;
    texts.reserve(m_wire.size());
    for (qsizetype i = 0; i < m_wire.size(); ++i)
        texts << lineText(i).toByteArray();
    return texts;
}

QByteArray SmtpReply::summary() const
{
    if (m_wire.size() == 1)
        return m_wire.first();
    QByteArray text = QByteArray::number(m_code);
    for (qsizetype i = 0; i < m_wire.size(); ++i) {
        text += i == 0 ? " " : " / ";
        text += lineText(i);
    }
    return text;
}

std::optional<SmtpReply> SmtpReply::fromLines(const QList<QByteArray> &wire)
{
    SmtpReplyReader reader;
    for (qsizetype i = 0; i < wire.size(); ++i) {
        const auto status = reader.feed(wire.at(i));
        if (status == SmtpReplyReader::Status::Complete && i == wire.size() - 1)
            return reader.take();
        if (status != SmtpReplyReader::Status::NeedMore)
            return std::nullopt;
    }
    return std::nullopt;
}

SmtpReplyReader::Status SmtpReplyReader::feed(const QByteArray &line)
{
    if (line.size() > ReplyLimits::MaxLineBytes) {
        m_error = TextReplyLineTooLong;
        return Status::TooLong;
    }
    m_bytes += line.size() + 2;
    if (m_bytes > ReplyLimits::MaxReplyBytes) {
        m_error = TextReplyTooLong;
        return Status::TooLong;
    }
    const int code = codeOf(line);
    if (code == 0) {
        m_error = QStringLiteral("The server sent a line that is not an SMTP reply: ") + quotedServerLine(line);
        return Status::Malformed;
    }
    if (!m_reply.m_wire.isEmpty() && code != m_reply.m_code) {
        // RFC 5321 4.2.1: every line of a reply carries the same code.
        m_error = QStringLiteral("The server's reply changes its code from %1 to %2: ")
                      .arg(m_reply.m_code)
                      .arg(code)
                  + quotedServerLine(line);
        return Status::Malformed;
    }
    m_reply.m_code = code;
    m_reply.m_wire.append(line);
    if (!isLastLine(line))
        return Status::NeedMore;
    m_reply.m_complete = true;
    return Status::Complete;
}

SmtpReply SmtpReplyReader::take()
{
    SmtpReply reply = std::move(m_reply);
    reset();
    return reply;
}

void SmtpReplyReader::reset()
{
    m_reply = SmtpReply();
    m_bytes = 0;
    m_error.clear();
}

std::optional<Pop3Reply> Pop3Reply::parse(const QByteArray &line)
{
    if (line.isEmpty() || (line[0] != '+' && line[0] != '-'))
        return std::nullopt;
    Pop3Reply reply;
    reply.m_positive = line[0] == '+';
    reply.m_line = line;
    return reply;
}

QByteArray Pop3Reply::text() const
{
    const qsizetype blank = m_line.indexOf(' ');
    return blank < 0 ? QByteArray() : m_line.mid(blank + 1);
}

} // namespace varnholt
