#pragma once

#include <QAbstractSocket>
#include <QString>

// Error numbers and texts of the mail clients (`SendMail`, `GetMail`), and the
// mapping of socket failures onto them. The numbers are what owners read and
// store, so they never change.

namespace varnholt {

namespace MailError {
inline constexpr int WinsockNotInitialized = 1;
inline constexpr int NetworkDown = 2;
inline constexpr int InvalidAddress = 3;
inline constexpr int InternalError = 4;
inline constexpr int GeneralWinsock = 5;
inline constexpr int ConnectionAborted = 6;
inline constexpr int ConnectionReset = 7;
inline constexpr int TimedOut = 8;
inline constexpr int OutOfSockets = 9;
inline constexpr int NetworkUnreachable = 10;
inline constexpr int AddressNotAvailable = 11;
inline constexpr int ConnectionRefused = 12;
inline constexpr int UnexpectedResponse = 13; // SendMail
inline constexpr int Cancelled = 14;          // last result only, never an event
inline constexpr int UnknownError = 15;
inline constexpr int AddressResolution = 16;
inline constexpr int PrematurelyDisconnected = 17;
inline constexpr int MailDestination = 18;    // SendMail
inline constexpr int SmtpHostUnreachable = 19; // SendMail's number for "Host Unreachable"
inline constexpr int Pop3HostUnreachable = 18; // GetMail's number for "Host Unreachable"
inline constexpr int AccessDenied = 19;        // GetMail
// Beyond the classic set: encryption failures (certificate, handshake,
// STARTTLS missing or refused) and input that would corrupt a command line.
inline constexpr int TlsFailure = 20;
inline constexpr int UnsafeInput = 21;
// The server's reply is not a reply of the protocol, or is too long.
inline constexpr int ProtocolError = 22;
// The message was stopped before its final "." because its sending could
// not be recorded (SendMail::setBeforeFinalDot).
inline constexpr int MessageWithdrawn = 23;
// An address needs SMTPUTF8 (RFC 6531) and the server does not offer it.
inline constexpr int SmtpUtf8NotOffered = 24;
} // namespace MailError

inline const QString TextWinsockNotInitialized = QStringLiteral("Winsock not initiliazed");
inline const QString TextConnectionTimedOut = QStringLiteral("Connection timed out");
inline const QString TextPrematurelyDisconnected = QStringLiteral("Prematurely Disconnected");
inline const QString TextUnexpectedResponse = QStringLiteral("Unexpected response: ");
inline const QString TextMailDestination = QStringLiteral("Mail Destination Error");
inline const QString TextAccessDenied = QStringLiteral("Access Denied");
inline const QString TextCancelled = QStringLiteral("Cancelled");
inline const QString TextReplyLineTooLong =
    QStringLiteral("The server's reply is too long (over 64 KB on one line)");
inline const QString TextReplyTooLong = QStringLiteral("The server's reply is too long (over 1 MB)");
inline const QString TextMessageWithdrawn =
    QStringLiteral("Message withdrawn before its end: the outcome could not be recorded");
// %1: "recipient" or "sender".
inline const QString TextSmtpUtf8NotOffered =
    QStringLiteral("The %1 address has non-ASCII characters and the server does not offer SMTPUTF8");

// One row of the socket error table: the number each client reports and the text.
struct SocketErrorEntry {
    int sendMailNumber = 0;
    int getMailNumber = 0;
    QString text;
};

// The classic socket error code (10061 "connection refused", 11001 "host not
// found", ...) that a Qt socket failure stands for. `errorString` tells apart
// the kinds Qt folds into NetworkError; `reset` marks a connection the peer
// reset rather than closed (a text naming a reset does too). A failure with
// no classic code gives `unknown`: 1 is the mail clients' "Unknown Error".
[[nodiscard]] int socketErrorCode(QAbstractSocket::SocketError error, QStringView errorString,
                                  bool reset = false, int unknown = 1);

// The clients' number and text for a classic socket error code; 0 gives an
// entry with both numbers 0.
[[nodiscard]] SocketErrorEntry socketErrorEntry(int code);

// True for the failures of the TLS layer, which get their own number and a
// text naming the host and the reason.
[[nodiscard]] bool isTlsError(QAbstractSocket::SocketError error);

} // namespace varnholt
