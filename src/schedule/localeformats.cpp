#include "schedule/localeformats.h"

#include <QRegularExpression>

namespace varnholt {

namespace {

QString widenYear(QString format)
{
    if (!format.contains(QStringLiteral("yyyy")))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    return format;
}

QString withoutZone(QString format)
{
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b\\s*"));
    return format.replace(zone, QStringLiteral(" ")).trimmed();
}

} // namespace

LocaleFormats::LocaleFormats(const QLocale &locale)
    : m_locale(locale)
    , m_date(widenYear(locale.dateFormat(QLocale::ShortFormat)))
    , m_time(withoutZone(locale.timeFormat(QLocale::LongFormat)))
{
}

QString LocaleFormats::dateText(QDate date) const
{
    return m_locale.toString(date, m_date);
}

QString LocaleFormats::timeText(QTime time) const
{
    return m_locale.toString(time, m_time);
}

QString LocaleFormats::dateTimeText(const QDateTime &when) const
{
    return dateText(when.date()) + u' ' + timeText(when.time());
}

std::optional<QDate> LocaleFormats::parseDate(const QString &text) const
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    QDate date = m_locale.toDate(t, m_date);
    if (!date.isValid()) {
        // A file written with the locale's own two-digit year.
        date = m_locale.toDate(t, QLocale::ShortFormat);
        if (date.isValid() && date.year() < 2000)
            date = date.addYears(100);
    }
    return date.isValid() ? std::optional(date) : std::nullopt;
}

std::optional<QTime> LocaleFormats::parseTime(const QString &text) const
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (const QString &format : {m_time, withoutZone(m_locale.timeFormat(QLocale::ShortFormat))}) {
        const QTime time = m_locale.toTime(t, format);
        if (time.isValid())
            return time;
    }
    return std::nullopt;
}

std::optional<QDateTime> LocaleFormats::parseDateTime(const QString &text) const
{
    const QString t = text.trimmed();
    // The date format may itself hold blanks ("d MMM yyyy"): try every blank
    // as the border between date and time.
    for (qsizetype blank = t.indexOf(u' '); blank > 0; blank = t.indexOf(u' ', blank + 1)) {
        const auto date = parseDate(t.left(blank));
        const auto time = date ? parseTime(t.mid(blank + 1)) : std::nullopt;
        if (date && time)
            return QDateTime(*date, *time);
    }
    return std::nullopt;
}

} // namespace varnholt
