#pragma once

#include "settings/asciitext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <optional>
#include <string>

// Byte-level encodings of outgoing mail: base64 and quoted-printable
// (RFC 2045), encoded words (RFC 2047), header folding (RFC 5322), the
// character sets a message can be written in, and the "Date" text.
//
// "Text" here is bytes in a character set; the program's own texts are in
// the system charset (SystemMimeChar()), UTF-8 on a UTF-8 locale.
namespace varnholt {

// The character sets a message can be written in. The values are stored in
// settings and must not change.
enum class TMimeChar {
    ISO_8859_1 = 0,
    ISO_8859_2,
    ISO_8859_3,
    ISO_8859_4,
    ISO_8859_5,
    ISO_8859_6,
    ISO_8859_7,
    ISO_8859_8,
    ISO_8859_9,
    ISO_8859_10,
    CP1250,
    CP1251,
    CP1252,
    CP1253,
    CP1254,
    CP1255,
    CP1256,
    CP1257,
    CP1258,
    KOI8_R,
    UCS_2,
    UCS_4,
    UTF_8,
    UTF_7,
};
inline constexpr int MimeCharCount = 24;

// The form of encoded words in headers: "B" or "Q" (RFC 2047 4.1, 4.2).
enum THdrCoding {
    hcBase64 = 0,
    hcQuotedPrn = 1,
};

// ---- character sets ------------------------------------------------------

// Canonical name, e.g. "WINDOWS-1251", "Unicode-1-1-UCS-2".
[[nodiscard]] QByteArray CharsetName(TMimeChar charset);
// Case-insensitive; names it does not know give ISO_8859_1.
[[nodiscard]] TMimeChar CharsetFromName(QStringView name);
// True for the twenty sets with one byte per character.
[[nodiscard]] bool isEightBit(TMimeChar charset);
// The charset of the program's own texts, from the locale.
[[nodiscard]] TMimeChar SystemMimeChar();

// Code point of the byte 0x80..0xFF in an 8-bit set; U+FFFD where the set
// leaves the byte undefined. Tables come from the C library's iconv.
[[nodiscard]] char32_t eightBitCodePoint(TMimeChar charset, unsigned char byte);

// Text in `from` as code points; bytes that are not valid in `from` become
// U+FFFD.
[[nodiscard]] std::u32string decodeCharset(QByteArrayView text, TMimeChar from);
// Code points written in `to`; nothing when a code point has no
// representation there (never a different character instead).
[[nodiscard]] std::optional<QByteArray> encodeCharset(std::u32string_view text, TMimeChar to);
// Appends the program's own text written in `to`; false when a character
// has no representation there (`out` then holds part of the text). Plain
// ASCII goes to the one-byte sets and UTF-8 without conversion.
bool appendEncoded(QByteArray &out, QStringView text, TMimeChar to);
// decodeCharset + encodeCharset.
[[nodiscard]] std::optional<QByteArray> ConvertCharset(QByteArrayView text, TMimeChar from, TMimeChar to);
// The program's own text as code points (unpaired surrogates become U+FFFD).
[[nodiscard]] std::u32string codePoints(QStringView text);

// ---- transfer encodings ---------------------------------------------------

// RFC 2045 6.8 alphabet, "=" padding, no line breaks.
[[nodiscard]] QByteArray Base64Encode(QByteArrayView bytes);
// Appends the base64 of `bytes` to `out` in lines of at most `lineLength`
// characters (a multiple of 4), each followed by CR LF.
void appendBase64Lines(QByteArray &out, QByteArrayView bytes, int lineLength = 60);

// True when the text holds a byte other than CR, LF and 0x20..0x7E.
[[nodiscard]] bool NeedsQuotedPrintable(QByteArrayView text);
// HasHighBytes, isAscii and copyAscii: settings/asciitext.h.

// Quoted-printable body encoding (RFC 2045 6.7) that carries line breaks of
// the text as =0D=0A and breaks encoded lines softly after more than 70
// characters. A "." at the start of an encoded line is encoded, so the
// output never needs SMTP dot-stuffing. `linePos` is the length of the
// current encoded line; it carries over between chunks of one body part.
[[nodiscard]] QByteArray QpEncodeBody(QByteArrayView bytes, int &linePos);

// ---- headers ------------------------------------------------------------

// A header value or file name (in the system charset) as the message will
// carry it: unchanged when it is plain ASCII, otherwise converted to
// `charset` and written as RFC 2047 encoded words of at most 75 characters,
// split between characters and joined by a folding CR LF blank. When the
// value cannot be written in `charset`, the words are written in UTF-8.
// CR, LF and NUL in the value become blanks: a value never starts a line.
// `firstColumn` is the length of what precedes the value on its line (e.g.
// 9 for "Subject: "): the first word is kept short enough for that line to
// stay within 76 characters, so it need not be folded onto a line of its own.
[[nodiscard]] QByteArray EncodeHeaderWord(QByteArrayView text, TMimeChar charset, THdrCoding coding,
                                          qsizetype firstColumn = 0);

// The same for a value given as code points, or as the program's own text.
[[nodiscard]] QByteArray encodeHeaderWord(std::u32string_view text, TMimeChar charset, THdrCoding coding,
                                          qsizetype firstColumn = 0);
[[nodiscard]] QByteArray encodeHeaderWord(QStringView text, TMimeChar charset, THdrCoding coding,
                                          qsizetype firstColumn = 0);

// "Name: value" with the value (its first 999 characters) passed through
// EncodeHeaderWord, its first word on the line of "Name: ", nothing added
// after it. A line without ": " comes back unchanged (with CR, LF and NUL
// made blanks).
[[nodiscard]] QByteArray EncodeHeaderLine(QByteArrayView line, TMimeChar charset, THdrCoding coding);
// The same for a line given as code points, or as the program's own text.
[[nodiscard]] QByteArray encodeHeaderLine(std::u32string_view line, TMimeChar charset, THdrCoding coding);
[[nodiscard]] QByteArray encodeHeaderLine(QStringView line, TMimeChar charset, THdrCoding coding);

// CR, LF and NUL become blanks.
[[nodiscard]] QByteArray headerSafe(QByteArrayView value);

// Folds a header line longer than 78 characters at blanks (RFC 5322 2.2.3):
// a CR LF goes in front of a blank that is followed by a non-blank, so
// unfolding gives the line back. Existing folds are kept.
[[nodiscard]] QByteArray foldHeaderLine(QByteArrayView line);

// ---- date -----------------------------------------------------------------

// RFC 5322 3.3 date-time without the day of the week, e.g.
// "5 Mar 2002 09:07:03 +0300": the offset in force at that moment
// (daylight saving included), "+0000" for UTC.
[[nodiscard]] QByteArray MailDate(const QDateTime &when);

} // namespace varnholt
