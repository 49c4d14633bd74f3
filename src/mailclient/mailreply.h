#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Server replies as values: an SMTP reply with its code and all its lines,
// put together from continuation lines, and a POP3 status line. Both are
// judged by named checks, never by the first byte of a raw line.

namespace varnholt {

// What a server may send as one reply. A line without an end, or a reply
// that never ends, would otherwise grow without bound.
namespace ReplyLimits {
inline constexpr qsizetype MaxLineBytes = 64 * 1024;
inline constexpr qsizetype MaxReplyBytes = 1024 * 1024;
} // namespace ReplyLimits

// RFC 5321 4.2: a three-digit code, then "-" on every line but the last and
// " " (or nothing) on the last, then text.
class SmtpReply
{
public:
    SmtpReply() = default;

    [[nodiscard]] int code() const { return m_code; }
    // The text of every line, after the code and its separator.
    [[nodiscard]] QList<QByteArray> lines() const;
    // The lines as the server sent them, code included.
    [[nodiscard]] const QList<QByteArray> &wireLines() const { return m_wire; }
    [[nodiscard]] QByteArrayView lineText(qsizetype i) const;

    [[nodiscard]] bool isPositive() const { return m_code >= 200 && m_code < 400; }
    [[nodiscard]] bool isTransient() const { return m_code >= 400 && m_code < 500; }
    [[nodiscard]] bool isPermanent() const { return m_code >= 500 && m_code < 600; }
    // The last line has arrived.
    [[nodiscard]] bool isComplete() const { return m_complete; }

    // The reply on one line, for an error text, a table cell and a log line:
    // a one-line reply exactly as sent; a longer one as the code and the
    // lines' texts joined with " / ".
    [[nodiscard]] QByteArray summary() const;

    // A reply made of the given wire lines (from a test or a log); nothing
    // when they do not form one complete reply.
    [[nodiscard]] static std::optional<SmtpReply> fromLines(const QList<QByteArray> &wire);

private:
    friend class SmtpReplyReader;
    int m_code = 0;
    bool m_complete = false;
    QList<QByteArray> m_wire;
};

// Puts replies together line by line (lines without CR LF), within the
// limits above.
class SmtpReplyReader
{
public:
    enum class Status { NeedMore, Complete, Malformed, TooLong };

    Status feed(const QByteArray &line);
    // The reply just completed; the reader starts afresh.
    [[nodiscard]] SmtpReply take();
    // A reply has begun and its last line is still to come.
    [[nodiscard]] bool isOpen() const { return !m_reply.m_wire.isEmpty(); }
    void reset();
    // What went wrong, for Malformed and TooLong.
    [[nodiscard]] QString errorText() const { return m_error; }

    // Whether a well-formed line ends its reply ("250 ok", "250").
    [[nodiscard]] static bool isLastLine(QByteArrayView line)
    {
        return line.size() == 3 || (line.size() > 3 && line[3] == ' ');
    }

private:
    SmtpReply m_reply;
    qsizetype m_bytes = 0;
    QString m_error;
};

// RFC 1939 3: a status indicator, "+OK" or "-ERR", then text. The
// indicator is judged by its sign.
class Pop3Reply
{
public:
    [[nodiscard]] static std::optional<Pop3Reply> parse(const QByteArray &line);

    [[nodiscard]] bool isPositive() const { return m_positive; }
    [[nodiscard]] bool isNegative() const { return !m_positive; }
    [[nodiscard]] bool isComplete() const { return true; } // always one line here
    [[nodiscard]] const QByteArray &line() const { return m_line; }
    // The text after the status indicator.
    [[nodiscard]] QByteArray text() const;

private:
    bool m_positive = false;
    QByteArray m_line;
};

// A server line shown inside an error text: quoted, and cut when long.
[[nodiscard]] QString quotedServerLine(QByteArrayView line);

} // namespace varnholt
