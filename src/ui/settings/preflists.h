#pragma once

#include <QString>
#include <QStringList>

// The fixed lists of the preferences window and the rules that turn them into
// settings: SMTP status codes and the charset choices.
namespace varnholt {

inline constexpr char16_t kCharsetFileName[] = u"charset.txt";

// The entries of the status-code list: the program-wide entries that are not
// blank, each without a leading "+" or "-", sorted.
[[nodiscard]] QStringList StatusCodeItems(const QStringList &programWide);

// Whether an item's code (its first three characters) is one of `codes`
// (codes joined with ";").
[[nodiscard]] bool IsCodeSelected(const QString &item, const QString &codes);

// The codes of the checked items, in order, joined with ";". A code that
// would take the text past the record's 255 characters is left out whole.
[[nodiscard]] QString JoinCodes(const QStringList &checkedItems);

// The charset choices when no "charset.txt" is found.
[[nodiscard]] const QStringList &BuiltInCharsets();

// The lines of a charset file that are not blank; empty when the file is
// missing or unreadable.
[[nodiscard]] QStringList LoadCharsetList(const QString &path);

// Index of `charSet` in `entries`, compared without regard to case; -1 when
// it is not there.
[[nodiscard]] int CharsetIndex(const QStringList &entries, const QString &charSet);

// A folder as the settings keep it: ending with "/" (an empty one stays empty).
[[nodiscard]] QString WithTrailingSlash(const QString &folder);

} // namespace varnholt
