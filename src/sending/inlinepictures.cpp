#include "sending/inlinepictures.h"

#include "settings/helpers.h"

#include <QDir>
#include <QFileInfo>

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

QString existingPicture(const QString &path, const InlinePictureContext &context)
{
    if (path.isEmpty())
        return {};
    if (QFileInfo(path).isFile())
        return path;
    if (context.lookupCache) {
        const auto hit = context.lookupCache->constFind(path);
        if (hit != context.lookupCache->cend())
            return *hit;
    }
    const QString found = FindFileNoCase(path);
    if (context.lookupCache)
        context.lookupCache->insert(path, found);
    return found;
}

// An <img src> value as a file path; empty for an address of another site.
QString imgSourcePath(const QString &value, const InlinePictureContext &context)
{
    if (value.contains(QStringLiteral("://"))) {
        if (!value.startsWith(QStringLiteral("file:///"), Qt::CaseInsensitive))
            return {};
        // "file:///C:/..." names a drive; "file:///home/..." keeps its root.
        const QString rest = value.mid(8);
        return hasDrive(rest) ? rest : u'/' + rest;
    }
    if (value.size() > 2 && !isRooted(value) && !hasDrive(value))
        return JoinPath(pictureFolder(context), value, kSep);
    return JoinPath(value, {}, kSep);
}

// A background value as a file path. A value that already lies in the
// project folder, or is rooted, is used as it is.
QString backgroundPath(const QString &value, const InlinePictureContext &context)
{
    const bool inProject = !context.projectFolder.isEmpty()
        && value.startsWith(JoinPath(context.projectFolder, {}, kSep), Qt::CaseInsensitive);
    if (value.size() > 2 && !hasDrive(value) && !inProject && !isRooted(value))
        return JoinPath(pictureFolder(context), value, kSep);
    return JoinPath(value, {}, kSep);
}

class PicturePass
{
public:
    PicturePass(QString &html, const InlinePictureContext &context)
        : m_html(html)
        , m_context(context)
    {
    }

    void imgTags();
    void backgrounds();
    InlinePictureResult take() { return std::move(m_result); }

private:
    // Adds the picture and puts "cid:..." in place of the value; returns the
    // length of the new value.
    qsizetype embed(const QString &file, qsizetype start, qsizetype end, QString *lower);

    QString &m_html;
    const InlinePictureContext &m_context;
    InlinePictureResult m_result;
};

qsizetype PicturePass::embed(const QString &file, qsizetype start, qsizetype end, QString *lower)
{
    const QString cid = MakeContentId(int(m_result.files.size()) + 1, *m_context.random, m_context.domainPart);
    m_result.files.append(file);
    m_result.cids.append(cid);
    const QString reference = QStringLiteral("cid:") + cid;
    m_html.replace(start, end - start, reference);
    if (lower)
        lower->replace(start, end - start, lowerSameLength(reference));
    return reference.size();
}

void PicturePass::imgTags()
{
    QString lower = lowerSameLength(m_html);
    qsizetype pos = 0;
    for (;;) {
        const qsizetype img = lower.indexOf(QStringLiteral("<img"), pos);
        if (img < 0)
            return;
        const qsizetype tagEnd = lower.indexOf(u'>', img);
        const qsizetype src = tagEnd < 0 ? -1 : lower.indexOf(QStringLiteral("src="), img);
        if (src < 0 || src > tagEnd) {
            pos = img + 4;
            continue;
        }
        qsizetype at = src + 4;
        while (at < tagEnd && isBlank(lower.at(at)))
            ++at;
        if (at >= tagEnd) {
            pos = img + 4;
            continue;
        }
        const auto [start, end] = valueBounds(lower, at, tagEnd);
        pos = start;
        if (start == end)
            continue;
        const QString file = existingPicture(imgSourcePath(m_html.mid(start, end - start), m_context), m_context);
        if (!file.isEmpty())
            embed(file, start, end, &lower);
    }
}

void PicturePass::backgrounds()
{
    const QString attribute = QStringLiteral("background=");
    qsizetype pos = 0;
    for (;;) {
        const QString lower = lowerSameLength(m_html);
        const qsizetype found = lower.indexOf(attribute, pos);
        if (found < 0)
            return;
        qsizetype at = found + attribute.size();
        while (at < lower.size() && isBlank(lower.at(at)))
            ++at;
        if (at >= lower.size()) {
            pos = at + 1;
            continue;
        }
        const auto [start, end] = valueBounds(lower, at, lower.size());
        pos = end;
        const QString value = m_html.mid(start, end - start);
        if (value.isEmpty() || value.contains(QStringLiteral("://")))
            continue;
        const QString file = existingPicture(backgroundPath(value, m_context), m_context);
        if (!file.isEmpty())
            pos = start + embed(file, start, end, nullptr);
    }
}

} // namespace

QString ContentIdDomain(const QString &mailDomain)
{
    const QString domain = mailDomain.trimmed();
    if (domain.isEmpty())
        return {};
    return u'@' + domain.mid(domain.indexOf(u'.') + 1);
}

QString MakeContentId(int number, QRandomGenerator &random, const QString &domainPart)
{
    const auto group = [&random]() {
        QString g;
        for (int i = 0; i < 4; ++i)
            g += QString::number(random.bounded(255), 16).toUpper();
        return g;
    };
    const QString first = group();
    return QStringLiteral("part") + QString::number(number) + u'.' + first + u'.' + group() + domainPart;
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

InlinePictureResult InlinePictures(QString &html, const InlinePictureContext &context)
{
    QRandomGenerator fallback(quint32(QRandomGenerator::system()->generate()));
    InlinePictureContext ctx = context;
    if (!ctx.random)
        ctx.random = &fallback;
    PicturePass pass(html, ctx);
    pass.imgTags();
    pass.backgrounds();
    return pass.take();
}

} // namespace varnholt
