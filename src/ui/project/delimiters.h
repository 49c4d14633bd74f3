#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

// The entries of the "Field delimiter" box: 25 characters, then "Tab" and
// "Space".
namespace varnholt {

[[nodiscard]] const QStringList &delimiterEntries();
// The character an entry stands for.
[[nodiscard]] QChar delimiterOfEntry(const QString &entry);
// The entry showing a delimiter ("Tab", "Space" or the character itself).
[[nodiscard]] QString entryOfDelimiter(QChar delimiter);

} // namespace varnholt
