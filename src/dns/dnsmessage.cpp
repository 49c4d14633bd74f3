#include "dns/dnsmessage.h"

#include <cstring>

namespace varnholt::dns {

namespace {

constexpr int HeaderSize = 12;
constexpr int MaxLabel = 63;
constexpr int MaxName = 255; // wire bytes, RFC 1035 2.3.4

[[nodiscard]] quint16 be16(QByteArrayView b, qsizetype at)
{
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

[[nodiscard]] quint32 be32(QByteArrayView b, qsizetype at)
{
    return (quint32(be16(b, at)) << 16) | be16(b, at + 2);
}

void put16(QByteArray &out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xFF));
}

enum class NameFault { None, OutOfData, Invalid };

struct Name {
    QString text;
    QByteArray wire;
    qsizetype next = 0; // the position after the name's own bytes
    NameFault fault = NameFault::None;
};

// Reads the (possibly compressed) name at `pos`. Every pointer must point
// before the start of the labels it continues, so each jump goes strictly
// backwards and a loop cannot be built.
[[nodiscard]] Name readName(QByteArrayView bytes, qsizetype pos)
{
    Name name;
    qsizetype p = pos;
    qsizetype segmentStart = pos;
    bool jumped = false;
    while (true) {
        if (p >= bytes.size()) {
            name.fault = NameFault::OutOfData;
            return name;
        }
        const quint8 length = quint8(bytes[p]);
        if ((length & 0xC0) == 0xC0) {
            if (p + 1 >= bytes.size()) {
                name.fault = NameFault::OutOfData;
                return name;
            }
            const qsizetype target = ((length & 0x3F) << 8) | quint8(bytes[p + 1]);
            if (target >= segmentStart) {
                name.fault = NameFault::Invalid; // forward, onto itself, or a loop
                return name;
            }
            if (!jumped)
                name.next = p + 2;
            jumped = true;
            p = segmentStart = target;
            continue;
        }
        if (length == 0) {
            if (!jumped)
                name.next = p + 1;
            name.wire.append('\0');
            return name;
        }
        if (length > MaxLabel) {
            name.fault = NameFault::Invalid; // the extended label types (RFC 6891) are not used
            return name;
        }
        if (p + 1 + length > bytes.size()) {
            name.fault = NameFault::OutOfData;
            return name;
        }
        if (name.wire.size() + 1 + length + 1 > MaxName) {
            name.fault = NameFault::Invalid;
            return name;
        }
        const QByteArrayView label = bytes.sliced(p + 1, length);
        name.wire.append(char(length));
        name.wire.append(label.data(), label.size());
        name.text += QString::fromLatin1(label.data(), label.size());
        p += 1 + length;
        // A label followed by more (a label or a pointer) gets its dot.
        if (p < bytes.size() && bytes[p] != '\0')
            name.text += u'.';
    }
}

[[nodiscard]] quint8 asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? quint8(c - 'A' + 'a') : quint8(c);
}

} // namespace

bool sameName(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

std::optional<QByteArray> encodeName(const QString &domain)
{
    QString name = domain;
    if (name.endsWith(u'.'))
        name.chop(1);
    QByteArray wire;
    if (!name.isEmpty()) {
        for (const QString &label : name.split(u'.')) {
            for (const QChar c : label)
                if (c.unicode() > 0xFF)
                    return std::nullopt;
            const QByteArray bytes = label.toLatin1();
            if (bytes.isEmpty() || bytes.size() > MaxLabel)
                return std::nullopt;
            wire.append(char(bytes.size()));
            wire.append(bytes);
        }
    }
    wire.append('\0');
    if (wire.size() > MaxName)
        return std::nullopt;
    return wire;
}

std::optional<QByteArray> queryRequest(quint16 id, const QString &domain, quint16 type)
{
    const std::optional<QByteArray> name = encodeName(domain);
    if (!name)
        return std::nullopt;
    QByteArray request;
    request.reserve(HeaderSize + name->size() + 4);
    put16(request, id);
    put16(request, 0x0100); // QR 0, OPCODE 0, RD 1
    put16(request, 1);      // QDCOUNT
    put16(request, 0);
    put16(request, 0);
    put16(request, 0);
    request.append(*name);
    put16(request, type);
    put16(request, ClassIn);
    return request;
}

std::optional<QByteArray> mxRequest(quint16 id, const QString &domain)
{
    return queryRequest(id, domain, TypeMx);
}

DecodeResult decodeResponse(QByteArrayView bytes)
{
    DecodeResult result;
    if (bytes.size() < HeaderSize)
        return result;
    const quint16 flags = be16(bytes, 2);
    if (!(flags & 0x8000))
        return result;

    DnsResponse &r = result.response;
    r.id = be16(bytes, 0);
    r.replyCode = flags & 0xF;
    r.opcode = (flags >> 11) & 0xF;
    r.authoritative = flags & 0x0400;
    r.truncated = flags & 0x0200;
    r.recursionAvailable = flags & 0x0080;
    r.questionCount = be16(bytes, 4);
    r.answerCount = be16(bytes, 6);
    r.authorityCount = be16(bytes, 8);
    r.additionalCount = be16(bytes, 10);
    result.status = DecodeStatus::Malformed;

    qsizetype pos = HeaderSize;
    if (r.questionCount != 0) {
        // Exactly one question is read; a response to this program's query
        // has no other.
        const Name question = readName(bytes, pos);
        if (question.fault != NameFault::None || question.next + 4 > bytes.size())
            return result;
        r.questionName = question.text;
        r.questionWire = question.wire;
        r.questionType = be16(bytes, question.next);
        r.questionClass = be16(bytes, question.next + 2);
        r.questionDecoded = true;
        pos = question.next + 4;
    }

    const int wanted = qMin(r.answerCount, TableSize);
    for (int i = 0; i < wanted; ++i) {
        const Name owner = readName(bytes, pos);
        if (owner.fault == NameFault::OutOfData && r.truncated)
            break; // a truncated response is taken as far as it goes
        if (owner.fault != NameFault::None)
            return result;
        const qsizetype fixed = owner.next;
        if (fixed + 10 > bytes.size()) {
            if (r.truncated)
                break;
            return result;
        }
        DnsAnswer answer;
        answer.name = owner.text;
        answer.type = be16(bytes, fixed);
        answer.rclass = be16(bytes, fixed + 2);
        answer.ttl = be32(bytes, fixed + 4);
        const qsizetype rdata = fixed + 10;
        const qsizetype rdataEnd = rdata + be16(bytes, fixed + 8);
        if (rdataEnd > bytes.size()) {
            if (r.truncated)
                break;
            return result;
        }
        if (answer.type == TypeA) {
            if (rdataEnd - rdata != 4)
                return result;
            if (r.addresses.size() < TableSize) {
                answer.slot = int(r.addresses.size());
                quint32 address = 0; // the four bytes as they came: network order
                std::memcpy(&address, bytes.data() + rdata, 4);
                r.addresses.append(address);
            }
        } else if (answer.type == TypeMx) {
            if (rdataEnd - rdata < 3)
                return result;
            const Name exchange = readName(bytes, rdata + 2);
            if (exchange.fault != NameFault::None || exchange.next > rdataEnd)
                return result;
            if (r.mxHost.size() < TableSize) {
                answer.slot = int(r.mxHost.size());
                r.mxPreference.append(be16(bytes, rdata));
                r.mxHost.append(exchange.text);
            }
        } else if (answer.type == TypeCname) {
            const Name canonical = readName(bytes, rdata);
            if (canonical.fault != NameFault::None || canonical.next > rdataEnd)
                return result;
            answer.target = canonical.text;
        }
        r.answers.append(answer);
        pos = rdataEnd;
    }
    result.status = DecodeStatus::Ok;
    return result;
}

} // namespace varnholt::dns
