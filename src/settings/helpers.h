#pragma once

#include <QString>

#include <functional>

// Small routines shared by the sending run and the log viewer.
namespace varnholt {

// Joins `folder` and `name` with exactly one separator between them, then
// writes every other slash or backslash as `separator`. An empty folder gives
// the name without its leading slash; an empty name gives the folder.
[[nodiscard]] QString JoinPath(const QString &folder, const QString &name, QChar separator);

// Reads a text file. Files whose first two bytes, read as a little-endian
// number, are 0xC000 or more (this includes the UTF-16 byte-order mark FF FE)
// are UTF-16LE after those two bytes and end at the first NUL; any other file
// is taken byte for byte in the system charset. An empty file leaves `text`
// as it was. False when the file cannot be opened or read.
bool ReadTextFile(const QString &path, QString &text);

// `text`, shortened from its end with "..." until `width` of it is at most
// `maxWidth`. `width` measures a text (a font's advance, a character count).
[[nodiscard]] QString ShortenToWidth(const QString &text, const std::function<int(const QString &)> &width,
                                     int maxWidth);

} // namespace varnholt
