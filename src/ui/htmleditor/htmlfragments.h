#pragma once

#include <QRgb>
#include <QString>
#include <QUrl>

#include <optional>

// The pieces of the HTML editor that need no browser: the table fragment,
// colour values, font size values and where a picture of an imported HTML
// file goes in the picture folder.
namespace varnholt {

// The table dialog's values.
struct TableParams {
    int rows = 1;
    int cols = 1;
    int width = 10;
    int lineSize = 1;
    QString lineColor = QStringLiteral("#000000");
    QString lightColor;
    QString darkColor;
};

// The HTML fragment the table dialog's "Insert" pastes into the selection.
[[nodiscard]] QString TableFragment(const TableParams &params);

// "#RRGGBB" with upper-case hexadecimal digits.
[[nodiscard]] QString ColorValue(QRgb rgb);

// The entries of the size box and the "FontSize" values they stand for:
// entry i runs "FontSize" with i + 1.
[[nodiscard]] const QStringList &FontSizeEntries();
[[nodiscard]] int FontSizeCommandValue(int entryIndex);

// The picture folder's relative path for a picture of an imported HTML
// file. `source` and `documentFolder` are local paths ("/" separators).
// A picture inside the document's folder keeps its path below that folder
// (sub-folders kept); any other keeps its file name alone. The result never
// leaves the picture folder: "..", ".", empty parts and drive names are
// dropped, so a hostile "../../x" or an absolute path cannot write
// elsewhere. Nothing when no file name is left.
[[nodiscard]] std::optional<QString> ImportedPictureRelativePath(const QString &source, const QString &documentFolder);

// A picture source that names a picture on the web (http or https), as an
// address; an invalid address for anything else (local paths, file and
// data addresses).
[[nodiscard]] QUrl WebPictureAddress(const QString &source);

// The file name a picture fetched from `address` gets in the picture
// folder: the last part of the address's path with every character other
// than letters, digits, ".", "-" and "_" turned into "_", without leading
// dots, at most 100 characters (the extension kept); "picture" when
// nothing is left.
[[nodiscard]] QString SafePictureFileName(const QUrl &address);

// Whether `path` lies inside `folder` once both are made absolute and
// cleaned.
[[nodiscard]] bool IsInsideFolder(const QString &path, const QString &folder);

// The source to write as N.htm: the editor's document source, with a meta
// element naming `charset` put at the head's start when it names none, so
// the file reopens with the characters it was written with.
[[nodiscard]] QString WithCharsetMeta(const QString &html, const QString &charset);

} // namespace varnholt
