#include "sending/inlinepictures.h"

#include "sending/mailmerge.h"
#include "settings/helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace varnholt {

namespace {

constexpr QChar kSep = u'/';

// Lower case character by character, so that positions in the copy are the
// positions in the original (full case mappings may change the length).
QString lowerSameLength(const QString &text)
{
    QString lower = text;
    for (QChar &c : lower)
        c = c.toLower();
    return lower;
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool endsUnquotedValue(QChar c)
{
    return isBlank(c) || c == u',' || c == u'>' || c == u'<' || c == u';';
}

bool isRooted(const QString &value)
{
    return !value.isEmpty() && (value.front() == u'/' || value.front() == u'\\');
}

bool hasDrive(const QString &value)
{
    return value.size() > 1 && value.at(1) == u':';
}

// Where relative picture names are found: "BaseUrl" when that folder
// exists, else the project folder.
QString pictureFolder(const InlinePictureContext &context)
{
    return !context.baseUrl.isEmpty() && QDir(context.baseUrl).exists() ? context.baseUrl : context.projectFolder;
}

// The start and end of an attribute value at `at`: a double-quoted value
// runs to the next double quote, any other to the first blank, ",", ">",
// "<" or ";"; neither beyond `limit`.
std::pair<qsizetype, qsizetype> valueBounds(const QString &lower, qsizetype at, qsizetype limit)
{
    if (lower.at(at) == u'"') {
        const qsizetype start = at + 1;
        qsizetype end = lower.indexOf(u'"', start);
        if (end < 0 || end > limit)
            end = limit;
        return {start, end};
    }
    qsizetype end = at;
    while (end < limit && !endsUnquotedValue(lower.at(end)))
        ++end;
    return {at, end};
}

// A picture reference as a file path. A path the user wrote absolute is
// taken as it is; any other only when it leads into the project's folders.
struct PicturePath {
    QString path; // empty for an address of another site
    bool absolute = false;
};

// An <img src> value as a file path.
PicturePath imgSourcePath(const QString &value, const QString &folder)
{
    if (value.contains(QStringLiteral("://"))) {
        if (!value.startsWith(QStringLiteral("file:///"), Qt::CaseInsensitive))
            return {};
        // "file:///C:/..." names a drive; "file:///home/..." keeps its root.
        const QString rest = value.mid(8);
        return {hasDrive(rest) ? rest : u'/' + rest, true};
    }
    if (isRooted(value))
        return {JoinPath(value, {}, kSep), true};
    if (value.size() > 2 && !hasDrive(value))
        return {JoinPath(folder, value, kSep), false};
    return {JoinPath(value, {}, kSep), false};
}

// A background value as a file path. A value that already lies in the
// project folder, or is rooted, is used as it is.
PicturePath backgroundPath(const QString &value, const QString &folder, const QString &projectFolder)
{
    if (value.contains(QStringLiteral("://")))
        return {};
    const bool inProject =
        !projectFolder.isEmpty() && value.startsWith(JoinPath(projectFolder, {}, kSep), Qt::CaseInsensitive);
    if (inProject || isRooted(value))
        return {JoinPath(value, {}, kSep), true};
    if (value.size() > 2 && !hasDrive(value))
        return {JoinPath(folder, value, kSep), false};
    return {JoinPath(value, {}, kSep), false};
}

// The folders that relative references may lead into, symbolic links
// resolved: the one they are found in and the project folder.
class PictureFolders
{
public:
    PictureFolders(const QString &folder, const QString &projectFolder)
    {
        for (const QString &f : {folder, projectFolder}) {
            QString canonical = f.isEmpty() ? QString() : QFileInfo(f).canonicalFilePath();
            if (canonical.isEmpty())
                continue;
            if (!canonical.endsWith(u'/'))
                canonical += u'/';
            m_roots.append(canonical);
        }
    }

    // Whether `file`, every link in its path followed, lies within one of
    // the folders: "../" or a link cannot lead a reference out of them.
    [[nodiscard]] bool hold(const QString &file) const
    {
        const QString canonical = QFileInfo(file).canonicalFilePath();
        return !canonical.isEmpty() && std::any_of(m_roots.cbegin(), m_roots.cend(), [&canonical](const QString &root) {
            return canonical.startsWith(root);
        });
    }

private:
    QStringList m_roots;
};

class PicturePass
{
public:
    PicturePass(const QString &html, const InlinePictureContext &context,
                const std::function<bool(qsizetype, qsizetype)> &touchesField)
        : m_html(html)
        , m_lower(lowerSameLength(html))
        , m_context(context)
        , m_touchesField(touchesField)
        , m_folder(pictureFolder(context))
        , m_folders(m_folder, context.projectFolder)
    {
    }

    void imgTags();
    void backgrounds();
    PictureScan take() { return std::move(m_scan); }

private:
    // Takes the reference [start, end) when it names a picture it may send;
    // otherwise notes why not. Returns whether it was taken.
    bool consider(qsizetype start, qsizetype end, const PicturePath &path);
    void warn(const QString &reference, const char16_t *reason);
    QString existingPicture(const QString &path) const;
    bool overlapsTaken(qsizetype start, qsizetype end) const;

    const QString &m_html;
    const QString m_lower;
    const InlinePictureContext &m_context;
    const std::function<bool(qsizetype, qsizetype)> &m_touchesField;
    const QString m_folder;
    const PictureFolders m_folders;
    PictureScan m_scan;
    QSet<QString> m_warned;
    qsizetype m_imgCount = 0; // the pictures of <img> tags, which come first
};

QString PicturePass::existingPicture(const QString &path) const
{
    if (path.isEmpty())
        return {};
    if (QFileInfo(path).isFile())
        return path;
    if (m_context.lookupCache) {
        const auto hit = m_context.lookupCache->constFind(path);
        if (hit != m_context.lookupCache->cend())
            return *hit;
    }
    const QString found = FindFileNoCase(path);
    if (m_context.lookupCache)
        m_context.lookupCache->insert(path, found);
    return found;
}

void PicturePass::warn(const QString &reference, const char16_t *reason)
{
    const QString warning = reference + QStringLiteral(" (") + QString::fromUtf16(reason) + u')';
    if (!m_warned.contains(warning)) {
        m_warned.insert(warning);
        m_scan.warnings.append(warning);
    }
}

bool PicturePass::consider(qsizetype start, qsizetype end, const PicturePath &path)
{
    const QString reference = m_html.mid(start, end - start);
    if (m_touchesField && m_touchesField(start, end)) {
        warn(reference, kPictureHoldsField);
        return false;
    }
    const QString file = existingPicture(path.path);
    if (file.isEmpty()) {
        warn(reference, kPictureNotFound);
        return false;
    }
    if (!path.absolute && !m_folders.hold(file)) {
        warn(reference, kPictureOutside);
        return false;
    }
    if (!LooksLikePicture(file)) {
        warn(reference, kPictureNotPicture);
        return false;
    }
    m_scan.pictures.push_back({start, end, file});
    return true;
}

// The background pass runs after the <img> pass over the same text; a
// stretch the <img> pass took is already a content ID.
bool PicturePass::overlapsTaken(qsizetype start, qsizetype end) const
{
    // The <img> pass takes its stretches from left to right.
    const auto first = m_scan.pictures.cbegin();
    const auto last = first + m_imgCount;
    const auto next = std::upper_bound(first, last, start, [](qsizetype at, const PictureReference &p) {
        return at < p.end;
    });
    return next != last && next->start < end;
}

void PicturePass::imgTags()
{
    qsizetype pos = 0;
    for (;;) {
        const qsizetype img = m_lower.indexOf(QStringLiteral("<img"), pos);
        if (img < 0)
            break;
        const qsizetype tagEnd = m_lower.indexOf(u'>', img);
        const qsizetype src = tagEnd < 0 ? -1 : m_lower.indexOf(QStringLiteral("src="), img);
        if (src < 0 || src > tagEnd) {
            pos = img + 4;
            continue;
        }
        qsizetype at = src + 4;
        while (at < tagEnd && isBlank(m_lower.at(at)))
            ++at;
        if (at >= tagEnd) {
            pos = img + 4;
            continue;
        }
        const auto [start, end] = valueBounds(m_lower, at, tagEnd);
        pos = start;
        if (start == end)
            continue;
        const PicturePath path = imgSourcePath(m_html.mid(start, end - start), m_folder);
        // A taken reference is a content ID from here on: the search goes
        // on after it.
        if (!path.path.isEmpty() && consider(start, end, path))
            pos = end;
    }
    m_imgCount = qsizetype(m_scan.pictures.size());
}

void PicturePass::backgrounds()
{
    const QString attribute = QStringLiteral("background=");
    qsizetype pos = 0;
    for (;;) {
        const qsizetype found = m_lower.indexOf(attribute, pos);
        if (found < 0)
            return;
        qsizetype at = found + attribute.size();
        while (at < m_lower.size() && isBlank(m_lower.at(at)))
            ++at;
        if (at >= m_lower.size()) {
            pos = at + 1;
            continue;
        }
        const auto [start, end] = valueBounds(m_lower, at, m_lower.size());
        pos = end;
        if (start == end || overlapsTaken(found, end))
            continue;
        const PicturePath path = backgroundPath(m_html.mid(start, end - start), m_folder, m_context.projectFolder);
        if (!path.path.isEmpty())
            consider(start, end, path);
    }
}

// Four random numbers 0..254, each in upper-case hexadecimal without
// leading zeros.
QString randomGroup(QRandomGenerator &random)
{
    QString g;
    for (int i = 0; i < 4; ++i)
        g += QString::number(random.bounded(255), 16).toUpper();
    return g;
}

constexpr quint64 kCountDigit = 239; // numbers 16..254
constexpr quint64 kCountRange = kCountDigit * kCountDigit * kCountDigit * kCountDigit;

} // namespace

bool LooksLikePicture(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(1024);
    const auto at = [&head](qsizetype offset, QByteArrayView bytes) {
        return head.size() >= offset + bytes.size() && QByteArrayView(head).sliced(offset, bytes.size()) == bytes;
    };
    static const QByteArrayView starts[] = {
        QByteArrayView("\x89PNG\r\n\x1a\n", 8), "GIF87a", "GIF89a", QByteArrayView("\xff\xd8\xff", 3),
        "BM", QByteArrayView("\0\0\1\0", 4), QByteArrayView("\0\0\2\0", 4), QByteArrayView("II*\0", 4),
        QByteArrayView("MM\0*", 4), QByteArrayView("\xd7\xcd\xc6\x9a", 4), QByteArrayView("\1\0\x09\0", 4),
        QByteArrayView("\2\0\x09\0", 4)};
    for (QByteArrayView start : starts) {
        if (at(0, start))
            return true;
    }
    if (at(0, "RIFF") && at(8, "WEBP"))
        return true;
    if (at(4, "ftypavif") || at(4, "ftypheic") || at(4, "ftypmif1") || at(4, "ftypheix"))
        return true;
    if (at(0, QByteArrayView("\1\0\0\0", 4)) && at(40, " EMF"))
        return true;
    return head.toLower().contains("<svg");
}

QString ContentIdDomain(const QString &mailDomain)
{
    const QString domain = mailDomain.trimmed();
    if (domain.isEmpty())
        return {};
    return u'@' + domain.mid(domain.indexOf(u'.') + 1);
}

QString MakeContentId(int number, QRandomGenerator &random, const QString &domainPart)
{
    const QString first = randomGroup(random);
    return QStringLiteral("part") + QString::number(number) + u'.' + first + u'.' + randomGroup(random) + domainPart;
}

ContentIdSource::ContentIdSource()
{
    reseed(QRandomGenerator::system()->generate());
}

void ContentIdSource::reseed(quint32 seed)
{
    m_random.seed(seed);
    m_count = 0;
    m_offset = m_random.bounded(kCountRange);
    // 239 is prime: any factor it does not divide has an inverse modulo
    // 239^4, so different counts give different groups.
    do
        m_factor = m_random.bounded(quint64(1), kCountRange);
    while (m_factor % kCountDigit == 0);
}

QStringList ContentIdSource::next(int count, const QString &domainPart)
{
    QStringList ids;
    ids.reserve(count);
    for (int number = 1; number <= count; ++number) {
        // (count * factor + offset) mod 239^4 without overflow: both
        // factors are below 2^32.
        quint64 mixed = ((m_count++ % kCountRange) * m_factor + m_offset) % kCountRange;
        QString counted;
        for (int i = 0; i < 4; ++i) {
            counted += QString::number(16 + mixed % kCountDigit, 16).toUpper();
            mixed /= kCountDigit;
        }
        ids.append(QStringLiteral("part") + QString::number(number) + u'.' + randomGroup(m_random) + u'.' + counted
                   + domainPart);
    }
    return ids;
}

QString FindFileNoCase(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QString normal = JoinPath(path, {}, kSep);
    if (QFileInfo(normal).isFile())
        return normal;
    const bool absolute = normal.startsWith(kSep);
    QString current = absolute ? QStringLiteral("/") : QString();
    const QStringList parts = normal.split(kSep, Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString folder = current.isEmpty() ? QStringLiteral(".") : current;
        QString name = part;
        if (part != u"." && part != u".." && !QFileInfo::exists(QDir(folder).filePath(part))) {
            const QStringList entries =
                QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            const auto match = std::find_if(entries.cbegin(), entries.cend(), [&part](const QString &entry) {
                return entry.compare(part, Qt::CaseInsensitive) == 0;
            });
            if (match == entries.cend())
                return {};
            name = *match;
        }
        current = current.isEmpty() ? name : JoinPath(current, name, kSep);
    }
    return QFileInfo(current).isFile() ? current : QString();
}

PictureScan FindPictures(const QString &html, const InlinePictureContext &context,
                         const std::function<bool(qsizetype start, qsizetype end)> &touchesField)
{
    PicturePass pass(html, context, touchesField);
    pass.imgTags();
    pass.backgrounds();
    return pass.take();
}

InlinePictureResult InlinePictures(QString &html, const InlinePictureContext &context)
{
    PictureScan scan = FindPictures(html, context);
    QRandomGenerator fallback(quint32(QRandomGenerator::system()->generate()));
    QRandomGenerator &random = context.random ? *context.random : fallback;
    InlinePictureResult result;
    std::vector<TextRange> slotRanges;
    QStringList references;
    for (const PictureReference &p : scan.pictures) {
        result.files.append(p.file);
        result.cids.append(MakeContentId(int(result.cids.size()) + 1, random, context.domainPart));
        slotRanges.push_back({p.start, p.end});
        references.append(QStringLiteral("cid:") + result.cids.back());
    }
    result.warnings = std::move(scan.warnings);
    html = *MergeTemplate(html, {}, slotRanges).join({}, references, kNoMergeLimit);
    return result;
}

} // namespace varnholt
