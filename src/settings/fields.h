#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// Field splitting and escaping shared by the settings file, the mailing
// list, keyword files and log lines.

namespace varnholt {

// Blanks and control characters: everything at or below the space. In UTF-8
// every byte of a multi-byte character is >= 0x80, so trimming bytes by this
// rule never cuts a character.
[[nodiscard]] constexpr bool isBlankOrControl(char16_t c) { return c <= u' '; }
[[nodiscard]] constexpr bool isBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

[[nodiscard]] QStringView trimBlanks(QStringView s);
// Inline: the list loader calls it for every field of millions of records.
[[nodiscard]] inline QByteArrayView trimBlanks(QByteArrayView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlankOrControl(s[b]))
        ++b;
    while (e > b && isBlankOrControl(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

// Splits `text` at every occurrence of `separator`; each piece is trimmed of
// blanks and control characters. An empty text gives no pieces; a separator
// at the very end gives no final empty piece.
[[nodiscard]] QStringList SplitFields(QStringView separator, QStringView text);

// Byte version for list files: calls `field(piece)` for every piece, in
// order, without allocating. Returns the number of pieces.
template <typename Fn>
qsizetype splitFieldsBytes(char separator, QByteArrayView text, Fn &&field)
{
    qsizetype count = 0;
    const char *p = text.data();
    const char *end = p + text.size();
    while (p < end) {
        const char *sep = static_cast<const char *>(memchr(p, separator, size_t(end - p)));
        const char *stop = sep ? sep : end;
        field(trimBlanks(QByteArrayView(p, stop - p)));
        ++count;
        p = sep ? sep + 1 : end;
    }
    return count;
}

// "^" and "%" become "%5E" and "%25", so every value survives a save and a
// load of the settings file.
[[nodiscard]] QString EscapeField(const QString &text);
// "%" followed by two uppercase hexadecimal digits becomes that character;
// anything else is copied unchanged.
[[nodiscard]] QString UnescapeField(const QString &text);

// The charset name of a "language(code),charset" entry: the part after the
// first comma, or the whole entry when it has no comma.
[[nodiscard]] QString CharsetOfEntry(const QString &entry);

} // namespace varnholt
