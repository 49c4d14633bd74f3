#pragma once

#include <QByteArrayView>
#include <QStringView>

// Quick checks for plain ASCII text, which reads and writes as itself in
// every charset the program handles.
namespace varnholt {

// True when any byte is 0x80 or above.
[[nodiscard]] bool HasHighBytes(QByteArrayView text);
// True when every character is below U+0080.
[[nodiscard]] bool isAscii(QStringView text);
// Copies the leading ASCII characters of `text` to `dst` as bytes (room for
// text.size() bytes); returns how many there were.
qsizetype copyAscii(char *dst, QStringView text);

} // namespace varnholt
