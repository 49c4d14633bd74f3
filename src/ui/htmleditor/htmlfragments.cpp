#include "htmlfragments.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace varnholt {

namespace {

QString ifColor(const QString &value, const QString &prefix, const QString &suffix)
{
    return value.startsWith(u'#') ? prefix + value + suffix : QString();
}

} // namespace

QString TableFragment(const TableParams &p)
{
    const QString border = QStringLiteral("border=%1 ").arg(p.lineSize);
    const QString width = QStringLiteral("width=%1 ").arg(p.width);
    const QString color = ifColor(p.lineColor, QStringLiteral("color="), QStringLiteral(" "));
    const QString top = ifColor(p.lightColor, QStringLiteral("border-top-color:"), QStringLiteral("; "));
    const QString left = ifColor(p.darkColor, QStringLiteral("border-left-color:"), QStringLiteral("; "));
    QString html = QStringLiteral("<TABLE ") + border + width + color
        + QStringLiteral(" cellspacing=0 cellpadding=0 style=\"{border-bottom-width: 0; border-right-width: 0; ") + top
        + left + QStringLiteral("}\" >");
    const QString cell = QStringLiteral("<TD width=%1 style=\"{border-left-width: 0; border-top-width: 0; "
                                        "border-bottom-color: black; border-right-color: black;}\"></TD>")
                             .arg(p.width > 0 ? p.width : 2);
    for (int r = 0; r < std::max(1, p.rows); ++r) {
        html += QStringLiteral("<TR>");
        for (int c = 0; c < std::max(1, p.cols); ++c)
            html += cell;
        html += QStringLiteral("</TR>");
    }
    return html + QStringLiteral("</Table>");
}

QString ColorValue(QRgb rgb)
{
    return QStringLiteral("#%1%2%3")
        .arg(qRed(rgb), 2, 16, QChar(u'0'))
        .arg(qGreen(rgb), 2, 16, QChar(u'0'))
        .arg(qBlue(rgb), 2, 16, QChar(u'0'))
        .toUpper();
}

const QStringList &FontSizeEntries()
{
    static const QStringList entries{QStringLiteral("8"),  QStringLiteral("10"), QStringLiteral("12"),
                                     QStringLiteral("14"), QStringLiteral("18"), QStringLiteral("24"),
                                     QStringLiteral("36")};
    return entries;
}

int FontSizeCommandValue(int entryIndex)
{
    return entryIndex + 1;
}

std::optional<QString> ImportedPictureRelativePath(const QString &source, const QString &documentFolder)
{
    QString src = source;
    src.replace(u'\\', u'/');
    QString base = documentFolder;
    base.replace(u'\\', u'/');
    if (!base.isEmpty() && !base.endsWith(u'/'))
        base += u'/';

    QString relative;
    if (!base.isEmpty() && src.startsWith(base, Qt::CaseInsensitive))
        relative = src.mid(base.size());
    else
        relative = src.mid(src.lastIndexOf(u'/') + 1);

    // Only plain names survive: nothing that climbs, roots or names a drive.
    QStringList parts;
    for (const QString &part : relative.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u"." || part == u".." || part.contains(u':'))
            continue;
        parts.append(part);
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(u'/');
}

QUrl WebPictureAddress(const QString &source)
{
    const QUrl url(source.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        return {};
    return url;
}

QString SafePictureFileName(const QUrl &address)
{
    constexpr qsizetype kMaxName = 100;
    const QString path = address.path(QUrl::FullyDecoded);
    QString name = path.mid(path.lastIndexOf(u'/') + 1);
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != u'.' && c != u'-' && c != u'_')
            c = u'_';
    }
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    if (name.size() > kMaxName) {
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString extension = dot > 0 && name.size() - dot <= 10 ? name.mid(dot) : QString();
        name = name.left(kMaxName - extension.size()) + extension;
    }
    return name.isEmpty() ? QStringLiteral("picture") : name;
}

bool IsInsideFolder(const QString &path, const QString &folder)
{
    const QString p = QDir::cleanPath(QDir(folder).absoluteFilePath(path));
    const QString f = QDir::cleanPath(QDir(folder).absolutePath());
    return p.startsWith(f + u'/');
}

QString WithCharsetMeta(const QString &html, const QString &charset)
{
    static const QRegularExpression metaCharset(QStringLiteral("<meta[^>]*charset"),
                                                QRegularExpression::CaseInsensitiveOption);
    if (metaCharset.match(html).hasMatch())
        return html;
    const QString meta = QStringLiteral("<meta charset=\"%1\">").arg(charset);
    static const QRegularExpression head(QStringLiteral("<head[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = head.match(html);
    if (m.hasMatch())
        return html.left(m.capturedEnd()) + meta + html.mid(m.capturedEnd());
    return meta + html;
}

} // namespace varnholt
