#pragma once

#include <QHash>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

// The inline picture passes of an HTML body: local pictures named by
// <img src=...> and background=... attributes become inline parts, their
// references "cid:" content IDs (RFC 2392).
namespace varnholt {

// The domain part of the content IDs: "@" and the mail domain without
// blanks and without everything up to and including its first "." (the
// mail domain smtp.example.org gives "@example.org"); empty when the mail
// domain is empty.
[[nodiscard]] QString ContentIdDomain(const QString &mailDomain);

// "part" + `number` + "." + four random numbers + "." + four more +
// `domainPart`. Each number is 0..254 in upper-case hexadecimal without
// leading zeros: "part1.3F0A9C1E.7B22C405@example.org".
[[nodiscard]] QString MakeContentId(int number, QRandomGenerator &random, const QString &domainPart);

// `path` when it names a file; otherwise, on a file system that tells upper
// from lower case, the file whose path matches it without regard to case
// (HTML editors and other systems write names in any case). Empty when
// there is none. Both "/" and "\" separate folders in `path`.
[[nodiscard]] QString FindFileNoCase(const QString &path);

struct InlinePictureContext {
    QString baseUrl;       // the project's "BaseUrl" folder
    QString projectFolder; // the project folder, ending with "/"
    QString domainPart;    // ContentIdDomain() of the account's mail domain
    QRandomGenerator *random = nullptr;
    // Case-insensitive look-ups already made, kept for the whole run: every
    // message of a mailing names the same pictures.
    QHash<QString, QString> *lookupCache = nullptr;
};

struct InlinePictureResult {
    QStringList files; // full paths of the pictures, in order of discovery
    QStringList cids;  // their content IDs
};

// Rewrites the picture references of `html` in place: first every <img> tag
// whose src names an existing local file, then every background attribute
// that does. A picture used twice becomes two parts. Pictures that do not
// exist and addresses of other sites stay as written.
InlinePictureResult InlinePictures(QString &html, const InlinePictureContext &context);

} // namespace varnholt
