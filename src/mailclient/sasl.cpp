#include "mailclient/sasl.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace varnholt::Sasl {

QByteArray cramMd5Response(const QByteArray &user, const QByteArray &password,
                           QByteArrayView challengeBase64)
{
    const QByteArray challenge = QByteArray::fromBase64(challengeBase64.toByteArray());
    const QByteArray digest =
        QMessageAuthenticationCode::hash(challenge, password, QCryptographicHash::Md5).toHex();
    return (user + ' ' + digest).toBase64();
}

QByteArray plainResponse(const QByteArray &user, const QByteArray &password)
{
    return (QByteArray(1, '\0') + user + QByteArray(1, '\0') + password).toBase64();
}

std::optional<QList<QPair<QByteArray, QByteArray>>> parseDigestChallenge(QByteArrayView text)
{
    QList<QPair<QByteArray, QByteArray>> result;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skipBlanks = [&] {
        while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == ','))
            ++i;
    };
    skipBlanks();
    while (i < n) {
        const qsizetype keyStart = i;
        while (i < n && text[i] != '=' && text[i] != ',')
            ++i;
        if (i >= n || text[i] != '=')
            return std::nullopt;
        const QByteArray key = text.sliced(keyStart, i - keyStart).trimmed().toByteArray().toLower();
        ++i; // '='
        QByteArray value;
        if (i < n && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char c = text[i++];
                if (c == '\\' && i < n) {
                    value += text[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed)
                return std::nullopt;
        } else {
            const qsizetype valueStart = i;
            while (i < n && text[i] != ',')
                ++i;
            value = text.sliced(valueStart, i - valueStart).trimmed().toByteArray();
        }
        if (key.isEmpty())
            return std::nullopt;
        result.append({key, value});
        skipBlanks();
    }
    return result;
}

namespace {

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

QByteArray quoted(const QByteArray &value)
{
    QByteArray out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// UTF-8 to ISO 8859-1 where every character fits, else the UTF-8 bytes
// unchanged (RFC 2831 2.1.2.1).
QByteArray latin1IfPossible(const QByteArray &utf8)
{
    const QString text = QString::fromUtf8(utf8);
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return utf8;
    }
    return text.toLatin1();
}

} // namespace

std::optional<QByteArray> digestMd5Response(const QByteArray &user, const QByteArray &password,
                                            QByteArrayView challengeBase64,
                                            const QByteArray &service, const QByteArray &host,
                                            const QByteArray &cnonce)
{
    const auto directives =
        parseDigestChallenge(QByteArray::fromBase64(challengeBase64.toByteArray()));
    if (!directives)
        return std::nullopt;
    QByteArray realm;
    QByteArray nonce;
    bool haveRealm = false;
    bool utf8 = false;
    bool qopAuth = false;
    bool qopGiven = false;
    for (const auto &[key, value] : *directives) {
        if (key == "realm" && !haveRealm) {
            realm = value;
            haveRealm = true;
        } else if (key == "nonce") {
            nonce = value;
        } else if (key == "charset") {
            utf8 = value.compare("utf-8", Qt::CaseInsensitive) == 0;
        } else if (key == "qop") {
            qopGiven = true;
            for (const QByteArray &q : value.split(','))
                qopAuth = qopAuth || q.trimmed() == "auth";
        }
    }
    // RFC 2831: a missing qop directive means "auth".
    if (nonce.isEmpty() || (qopGiven && !qopAuth))
        return std::nullopt;

    const QByteArray name = utf8 ? user : latin1IfPossible(user);
    const QByteArray secret = utf8 ? password : latin1IfPossible(password);
    const QByteArray nc = "00000001";
    const QByteArray qop = "auth";
    const QByteArray digestUri = service + '/' + host;

    const QByteArray a1 = md5(name + ':' + realm + ':' + secret) + ':' + nonce + ':' + cnonce;
    const QByteArray a2 = "AUTHENTICATE:" + digestUri;
    const QByteArray response =
        md5(md5(a1).toHex() + ':' + nonce + ':' + nc + ':' + cnonce + ':' + qop + ':'
            + md5(a2).toHex())
            .toHex();

    QByteArray out = "username=" + quoted(name);
    if (haveRealm)
        out += ",realm=" + quoted(realm);
    out += ",nonce=" + quoted(nonce) + ",cnonce=" + quoted(cnonce) + ",nc=" + nc + ",qop=" + qop
        + ",digest-uri=" + quoted(digestUri) + ",response=" + response;
    if (utf8)
        out += ",charset=utf-8";
    return out.toBase64();
}

QByteArray makeCnonce()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toBase64(
        QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals);
}

} // namespace varnholt::Sasl
