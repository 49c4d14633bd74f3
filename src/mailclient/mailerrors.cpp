#include "mailclient/mailerrors.h"

namespace varnholt {

int socketErrorCode(QAbstractSocket::SocketError error, QStringView errorString, bool reset, int unknown)
{
    using E = QAbstractSocket::SocketError;
    switch (error) {
    case E::ConnectionRefusedError:
        return 10061;
    case E::RemoteHostClosedError:
        return reset || errorString.contains(u"reset", Qt::CaseInsensitive) ? 10054 : 0;
    case E::HostNotFoundError:
        return 11001;
    case E::SocketAccessError:
        return 10013;
    case E::SocketResourceError:
        return 10024;
    case E::SocketTimeoutError:
        return 10060;
    case E::DatagramTooLargeError:
        return 10040;
    case E::NetworkError:
        // Qt reports these errno values all as NetworkError; its text keeps them apart.
        if (errorString.contains(u"Network unreachable", Qt::CaseInsensitive))
            return 10051;
        if (errorString.contains(u"Host unreachable", Qt::CaseInsensitive))
            return 10065;
        if (errorString.contains(u"timed out", Qt::CaseInsensitive))
            return 10060;
        if (errorString.contains(u"reset", Qt::CaseInsensitive))
            return 10054;
        if (errorString.contains(u"in use", Qt::CaseInsensitive))
            return 10048;
        return 10050;
    case E::AddressInUseError:
        return 10048;
    case E::SocketAddressNotAvailableError:
        return 10049;
    case E::UnsupportedSocketOperationError:
        return 10045;
    case E::UnfinishedSocketOperationError:
        return 10036;
    case E::OperationError:
    case E::TemporaryError:
        return 10022;
    default:
        return unknown;
    }
}

SocketErrorEntry socketErrorEntry(int code)
{
    using namespace MailError;
    switch (code) {
    case 0:
        return {0, 0, QString()};
    case 10004: case 10014: case 10022: case 10036: case 10038: case 10040:
    case 10045: case 10047: case 10048: case 10056: case 10057: case 10058:
        return {InternalError, InternalError, QStringLiteral("Unexpected internal error in component")};
    case 10013:
        return {InvalidAddress, InvalidAddress, QStringLiteral("Invalid address specified")};
    case 10024:
        return {OutOfSockets, OutOfSockets, QStringLiteral("Out of sockets")};
    case 10049:
        return {AddressNotAvailable, AddressNotAvailable, QStringLiteral("Address not available")};
    case 10050:
        return {NetworkDown, NetworkDown, QStringLiteral("Network down")};
    case 10051:
        return {NetworkUnreachable, NetworkUnreachable, QStringLiteral("Network unreachable")};
    case 10052: case 10055:
        return {GeneralWinsock, GeneralWinsock, QStringLiteral("General Winsock Error")};
    case 10053:
        return {ConnectionAborted, ConnectionAborted,
                QStringLiteral("Connection aborted due to timeout or other failure")};
    case 10054:
        return {ConnectionReset, ConnectionReset, QStringLiteral("Connection reset by remote side")};
    case 10060:
        return {TimedOut, TimedOut, QStringLiteral("timeout")};
    case 10061:
        return {ConnectionRefused, ConnectionRefused, QStringLiteral("Connection Refused")};
    case 10065:
        return {SmtpHostUnreachable, Pop3HostUnreachable, QStringLiteral("Host Unreachable")};
    case 10093:
        return {WinsockNotInitialized, WinsockNotInitialized, QStringLiteral("Winsock not initialized")};
    case 11001: case 11002: case 11003: case 11004:
        return {AddressResolution, AddressResolution, QStringLiteral("Address resolution error")};
    default:
        return {UnknownError, UnknownError, QStringLiteral("Unknown Error")};
    }
}

bool isTlsError(QAbstractSocket::SocketError error)
{
    using E = QAbstractSocket::SocketError;
    return error == E::SslHandshakeFailedError || error == E::SslInternalError
        || error == E::SslInvalidUserDataError;
}

} // namespace varnholt
