#pragma once

#include <QHash>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

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

// The content IDs of one run's messages, in MakeContentId's form. RFC 2392
// wants them unique, and chance alone does not promise that over a long
// list: the second group of every ID is drawn from a running count, mixed
// so that it looks random, with each of its numbers in 16..254 (always two
// digits, so that two different groups never read the same). No two IDs
// of a run share it before 239^4 (over three thousand million) of them.
class ContentIdSource
{
public:
    ContentIdSource();
    explicit ContentIdSource(quint32 seed) { reseed(seed); }

    void reseed(quint32 seed);
    // The content IDs of one message's `count` pictures: "part1...",
    // "part2...", ...
    [[nodiscard]] QStringList next(int count, const QString &domainPart);

private:
    QRandomGenerator m_random;
    quint64 m_count = 0;
    quint64 m_offset = 0;
    quint64 m_factor = 1; // not a multiple of 239: the mixing is one to one
};

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
    // Case-insensitive look-ups already made, to be shared between passes
    // over texts that name the same pictures.
    QHash<QString, QString> *lookupCache = nullptr;
};

// Why a picture reference stays a plain reference.
inline constexpr char16_t kPictureNotFound[] = u"not found";
inline constexpr char16_t kPictureOutside[] = u"outside the project folder";
inline constexpr char16_t kPictureHoldsField[] = u"holds a merge field";
inline constexpr char16_t kPictureNotPicture[] = u"not a picture";

// Whether the file starts as a picture does (PNG, GIF, JPEG, BMP, ICO,
// WebP, TIFF, AVIF/HEIF, EMF, WMF or SVG). Only such a file goes out
// inline: a template may name any file of the disk as a picture, the
// mailing list beside it included.
[[nodiscard]] bool LooksLikePicture(const QString &path);

// One local picture of an HTML text.
struct PictureReference {
    qsizetype start = 0; // the reference in the text: [start, end)
    qsizetype end = 0;
    QString file; // the picture's full path
};

struct PictureScan {
    // In the order they are numbered: the <img> tags in text order, then
    // the background attributes in text order. Their stretches never overlap.
    std::vector<PictureReference> pictures;
    // Each distinct reference that stays plain, once: "logo.gif (not found)".
    QStringList warnings;
};

// Finds the local pictures of `html` without changing it: every <img> tag's
// src, then every background attribute, that names an existing local file.
// A path the user wrote absolute, or as "file:///" in an <img> tag, is
// taken as it is; a relative path only when the file, symbolic links
// resolved, lies within the folder it was found in ("BaseUrl" or the
// project folder) or the project folder. References that a merge field
// overlaps (`touchesField` of their stretch [start, end) of `html`) are not
// looked up at all: the file they name is not known before the merge.
// Addresses of other sites are left alone and not reported.
[[nodiscard]] PictureScan FindPictures(
    const QString &html, const InlinePictureContext &context,
    const std::function<bool(qsizetype start, qsizetype end)> &touchesField = {});

struct InlinePictureResult {
    QStringList files; // full paths of the pictures, in order of discovery
    QStringList cids;  // their content IDs
    QStringList warnings; // PictureScan::warnings
};

// Rewrites the picture references that FindPictures finds in `html` to
// "cid:" and a content ID each. A picture used twice becomes two parts.
InlinePictureResult InlinePictures(QString &html, const InlinePictureContext &context);

} // namespace varnholt
