#pragma once

// The wire form of a query (MX or A) and of its response (RFC 1035 4.1),
// as pure functions: TDnsQuery sends and reads these over UDP, the tests
// and the fuzz target call them directly.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace varnholt::dns {

inline constexpr int TableSize = 50;     // entries of the answer, MX and address tables
inline constexpr int MaxRequest = 514;   // header, question and type/class
inline constexpr int MaxResponse = 512;  // what a UDP response may hold (RFC 1035 4.2.1)
inline constexpr quint16 TypeA = 1;
inline constexpr quint16 TypeCname = 5;
inline constexpr quint16 TypeMx = 15;
inline constexpr quint16 ClassIn = 1;

// The uncompressed wire form of a domain name: each label as a length byte
// and its characters, then a zero byte. A trailing "." adds no empty label,
// an empty name (or ".") is the single zero byte. Nothing for an empty
// label inside the name, a label over 63 bytes, a name over 255 bytes or a
// character outside Latin-1.
[[nodiscard]] std::optional<QByteArray> encodeName(const QString &domain);

// The query for `domain` with the given ID: header with RD set and one
// question of type `type`, class IN. Nothing when the name cannot be
// encoded.
[[nodiscard]] std::optional<QByteArray> queryRequest(quint16 id, const QString &domain, quint16 type);
// The same with type MX.
[[nodiscard]] std::optional<QByteArray> mxRequest(quint16 id, const QString &domain);

struct DnsAnswer {
    QString name;
    quint16 type = 0;
    quint16 rclass = 0;
    quint32 ttl = 0;
    int slot = -1; // index into the MX or the address table, -1 for neither
    QString target; // a CNAME's canonical name; empty for other types
};

struct DnsResponse {
    quint16 id = 0;
    int replyCode = 0; // RCODE
    int opcode = 0;
    bool authoritative = false;
    bool truncated = false;
    bool recursionAvailable = false;
    int questionCount = 0;
    int answerCount = 0; // as the header says; `answers` holds what was decoded
    int authorityCount = 0;
    int additionalCount = 0;

    bool questionDecoded = false;
    QString questionName;
    QByteArray questionWire; // the question's name in uncompressed wire form
    quint16 questionType = 0;
    quint16 questionClass = 0;

    QList<DnsAnswer> answers;            // the first TableSize answers
    QList<quint16> mxPreference;         // MX table
    QList<QString> mxHost;
    QList<quint32> addresses;            // address table, network byte order as received
};

enum class DecodeStatus {
    NotAResponse, // shorter than a header, or the QR bit clear: not for us
    Malformed,    // a name or record runs past the received bytes, a pointer loops...
    Ok,
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::NotAResponse;
    // With Malformed, what was decoded before the fault (the header at least).
    DnsResponse response;
};

// Decodes a response: the header, the first question, then the answers (up
// to TableSize of them) into the tables, with each CNAME's canonical name;
// the authority and additional sections are not read. A truncated response
// (TC) is decoded as far as it goes; without TC a record (a CNAME's name
// too) that runs past the end is Malformed. Compression
// pointers must point before themselves (RFC 1035 4.1.4: "a prior
// occurrence"), which rules out loops.
[[nodiscard]] DecodeResult decodeResponse(QByteArrayView bytes);

// Whether two wire-form names are equal, ignoring ASCII case (RFC 4343).
[[nodiscard]] bool sameName(QByteArrayView a, QByteArrayView b);

} // namespace varnholt::dns
