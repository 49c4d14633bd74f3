#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <optional>

// Client responses of the SMTP authentication mechanisms. Every function
// returns the base64 text that goes on the wire as one line.

namespace varnholt::Sasl {

// RFC 2195: base64(user + " " + lower-case hex HMAC-MD5(password, challenge)).
// `challengeBase64` is the text after "334 ".
[[nodiscard]] QByteArray cramMd5Response(const QByteArray &user, const QByteArray &password,
                                         QByteArrayView challengeBase64);

// RFC 4616: base64(NUL user NUL password), sent as the initial response.
[[nodiscard]] QByteArray plainResponse(const QByteArray &user, const QByteArray &password);

// The directives of an RFC 2831 challenge (`key=value` or `key="quoted"`,
// comma separated), in order; a key may repeat (realm). Nothing for a text
// that is not a directive list.
[[nodiscard]] std::optional<QList<QPair<QByteArray, QByteArray>>>
parseDigestChallenge(QByteArrayView decoded);

// RFC 2831 2.1.2 digest-response for qop "auth", as base64. `user` and
// `password` are UTF-8; they are sent as UTF-8 when the server announced
// charset=utf-8 and as ISO 8859-1 otherwise. `service` is "smtp", `host` the
// server's name (digest-uri "smtp/host"). Nothing when the challenge has no
// nonce or does not offer qop "auth".
[[nodiscard]] std::optional<QByteArray> digestMd5Response(const QByteArray &user,
                                                          const QByteArray &password,
                                                          QByteArrayView challengeBase64,
                                                          const QByteArray &service,
                                                          const QByteArray &host,
                                                          const QByteArray &cnonce);

// A fresh random client nonce for DIGEST-MD5.
[[nodiscard]] QByteArray makeCnonce();

} // namespace varnholt::Sasl
