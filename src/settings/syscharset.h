#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The system charset: the locale's character set (nl_langinfo(CODESET)).
// A C or POSIX locale counts as UTF-8, as Qt 6 does. Text files are bytes in
// this charset.
//
// Conversions are lossless: in UTF-8, bytes that are not valid UTF-8 become
// the lone surrogates U+DC80..U+DCFF and turn back into the same bytes on the
// way out, so a file with broken bytes survives a load and a save.
namespace varnholt::SystemCharset {

// Canonical name, e.g. "UTF-8" or "ISO-8859-1".
[[nodiscard]] QByteArray name();
[[nodiscard]] bool isUtf8();

[[nodiscard]] QString toUnicode(QByteArrayView bytes);
[[nodiscard]] QByteArray fromUnicode(QStringView text);

// Tests use this to pretend another locale; an empty name restores the
// locale's own.
void overrideForTesting(const QByteArray &charsetName);

} // namespace varnholt::SystemCharset
