#pragma once

// The SMTP client of direct delivery: one message to one mail exchanger,
// driven by the asynchronous socket (TWSocket) on Qt's event loop.
//
// Every command is a request that completes later with onRequestDone(kind,
// error): 0 for success, else the server's status code (550, ...), a socket
// error code (11001 unknown host, 10061 refused, ...), 10004 when the
// session closed or was aborted before the request completed, or 426 when
// a sequence was aborted or the message withheld. LastResponse then holds
// the reply line, or a synthetic reply ("500 Host not found (Winsock error
// #11001)"). The completion always comes from the event loop, never from
// inside the call that started the request, so a handler may start the next
// command from inside onRequestDone. A completion still queued when the next
// request starts, or when the client is destroyed, is dropped.
//
// The message after DATA is the shared MimeAssembler's output (header block,
// MIME body, dot-stuffed, the "." line), pulled one chunk at a time whenever
// the socket has sent everything it was given.
//
// Misuse (a command in the wrong state, no recipient, ...) throws
// SmtpException with a fixed English text; network and protocol failures
// never throw. Handlers must not destroy the client from inside a call
// (use deleteLater()).

#include "mime/mimeassembler.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <stdexcept>

namespace varnholt {

class TWSocket;

// The ordinals are part of the interface.
enum class TSmtpRequest : int { smtpConnect = 0, smtpHelo, smtpMailFrom, smtpVrfy, smtpRcptTo, smtpData,
                                smtpQuit, smtpRset, smtpOpen, smtpMail };
enum class TSmtpState { smtpReady, smtpDnsLookup, smtpConnecting, smtpConnected, smtpInternalReady,
                        smtpWaitingBanner, smtpWaitingResponse, smtpAbort };

class SmtpException : public std::runtime_error
{
public:
    explicit SmtpException(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    [[nodiscard]] QString message() const { return m_message; }

private:
    QString m_message;
};

class TSmtpCli : public QObject
{
    Q_OBJECT
public:
    // A reply line with its CR LF must fit in this many bytes; a longer one
    // ends the session (error 500).
    static constexpr int ReplyBufferSize = 4096;

    explicit TSmtpCli(QObject *parent = nullptr);
    ~TSmtpCli() override;

    // The mail exchanger: a host name or dotted address, and a port number
    // or service name (default "smtp").
    [[nodiscard]] QString host() const { return m_host; }
    void setHost(const QString &host) { m_host = host; }
    [[nodiscard]] QString port() const { return m_port; }
    void setPort(const QString &port) { m_port = port; }
    // The name sent with HELO; empty: the local host name.
    [[nodiscard]] QString signOn() const { return m_signOn; }
    void setSignOn(const QString &signOn) { m_signOn = signOn; }
    // The envelope sender (MAIL FROM).
    [[nodiscard]] QString fromName() const { return m_fromName; }
    void setFromName(const QString &fromName) { m_fromName = fromName; }
    // The envelope recipients (one RCPT TO each).
    [[nodiscard]] QStringList rcptName() const { return m_rcptName; }
    void setRcptName(const QStringList &rcptName) { m_rcptName = rcptName; }
    // VRFY's argument.
    [[nodiscard]] QString hdrTo() const { return m_hdrTo; }
    void setHdrTo(const QString &hdrTo) { m_hdrTo = hdrTo; }
    // Free for the owner.
    [[nodiscard]] int tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }

    // The message sent after DATA (header and body), from the shared
    // assembler; kept for every later DATA until replaced.
    void setMessage(MimeInputs inputs);

    // The last reply line received, or a synthetic reply.
    [[nodiscard]] QString lastResponse() const { return m_lastResponse; }
    // The first failing reply of the current request.
    [[nodiscard]] QString errorMessage() const { return m_errorMessage; }
    [[nodiscard]] TSmtpState state() const { return m_state; }
    // The TCP connection is up (independent of the state).
    [[nodiscard]] bool connected() const { return m_connected; }
    [[nodiscard]] TSmtpRequest requestType() const { return m_requestType; }
    // The final "." of the current DATA went out (the server may have the
    // message from then on).
    [[nodiscard]] bool finalDotSent() const { return m_finalDotSent; }

    // Commands. Each throws SmtpException "SMTP component not ready" unless
    // the client is ready; those that send a line throw "SMTP component not
    // connected" without a connection (quit() then completes at once with 0).
    void connect();  // lookup, connection, greeting 220 (no host: throws)
    void helo();     // "HELO " + signOn, 250
    void vrfy();     // "VRFY " + hdrTo, 250
    void mailFrom(); // "MAIL FROM:<fromName>", 250
    void rcptTo();   // "RCPT TO:<entry>" for each entry; the last reply decides
    void data();     // "DATA" 354, the message, "." 250
    void quit();     // "QUIT" 221
    void rset();     // "RSET" 250
    // Sequences: open() = connect + HELO (completes as smtpConnect), mail() =
    // MAIL FROM + RCPT TO + DATA (completes as smtpMail). A step that fails
    // ends the sequence with its error.
    void open();
    void mail();
    // Drops the connection and any unsent data. A request still open then
    // completes once, later, with 10004.
    void abort();

    // Events (std::function handlers like TWSocket's). onDisplay gets
    // "> " + each command sent (the message as "> <message N bytes>") and
    // "< " + each reply line; onCommand each command line; onResponse each
    // reply line as received.
    std::function<void(TSmtpCli *, const QString &)> onDisplay, onCommand, onResponse;
    std::function<void(TSmtpCli *, TSmtpRequest, quint16 error)> onRequestDone;
    // Just before the final "." of DATA; false withholds the message: the
    // "." is not sent, the connection is aborted, DATA completes with error
    // 426 and LastResponse "426 " + TextMessageWithdrawn.
    std::function<bool(TSmtpCli *)> onBeforeFinalDot;
    // A picture or attachment could not be opened or read while the message
    // was streamed; the message goes on without (the rest of) that part.
    std::function<void(TSmtpCli *, const QString &path)> onFileError;

private:
    // What runs when the reply to the current command arrives, instead of
    // completing the request.
    enum class Continuation { None, NextRecipient, Transmit };

    void setState(TSmtpState state);
    void checkReady() const;
    void checkConnected() const;
    void startRequest(TSmtpRequest kind);
    void sendCommand(const QString &line, QList<int> okCodes, Continuation continuation = Continuation::None);
    void sendRecipient();
    void complete(quint16 error);
    void deliver(quint64 generation, TSmtpRequest kind, quint16 error);
    void startSequence(TSmtpRequest kind, QList<TSmtpRequest> steps);
    void runNextStep(bool fromCaller);
    void failRequest(const QString &reply, quint16 error);

    // Socket events.
    void dnsLookupDone(quint16 error);
    void sessionConnected(quint16 error);
    void dataAvailable();
    void sessionClosed();
    void takeLines();
    void checkReply();

    // The message after DATA.
    void transmit();
    void pumpMessage();
    void endMessage();
    void dropAssembler();

    std::unique_ptr<TWSocket> m_socket;
    QString m_host, m_port = QStringLiteral("smtp"), m_signOn, m_fromName, m_hdrTo;
    QStringList m_rcptName;
    int m_tag = 0;
    MimeInputs m_message;

    QString m_lastResponse, m_errorMessage;
    TSmtpState m_state = TSmtpState::smtpReady;
    bool m_connected = false;
    TSmtpRequest m_requestType = TSmtpRequest::smtpConnect;
    bool m_requestDone = true;
    // Every request gets a new number; a queued completion of an older one
    // is dropped. Also bumped when the connection goes, to stop the reading
    // of what was received on it.
    quint64 m_generation = 0;
    quint64 m_session = 0;

    QByteArray m_reply; // received, not yet a whole line
    QList<int> m_okCodes;
    bool m_awaitingReply = false;
    Continuation m_continuation = Continuation::None;

    bool m_sequence = false;
    QList<TSmtpRequest> m_pendingSteps;
    QStringList m_rcptSending; // the entries of the current RCPT TO
    qsizetype m_rcptIndex = 0;

    QPointer<MimeAssembler> m_assembler;
    bool m_inBody = false;
    bool m_pulling = false;
    bool m_finalDotSent = false;
    qint64 m_bodyBytes = 0;
    bool m_destroying = false;
};

} // namespace varnholt
