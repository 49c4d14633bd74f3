#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>

#include <optional>

// Dates and times as the schedule stores them: in the computer's own short
// date and long time formats, so that the project file reads naturally to
// its user. Two adjustments keep the texts readable back on the same
// computer: the year is always written with four digits (a two-digit year
// would read back a century early), and the time-zone name is left out of
// the time (a zone name does not parse back).
namespace varnholt {

class LocaleFormats
{
public:
    explicit LocaleFormats(const QLocale &locale = QLocale::system());

    [[nodiscard]] QString dateFormat() const { return m_date; }
    [[nodiscard]] QString timeFormat() const { return m_time; }

    [[nodiscard]] QString dateText(QDate date) const;
    [[nodiscard]] QString timeText(QTime time) const;
    [[nodiscard]] QString dateTimeText(const QDateTime &when) const;

    // Trimmed text in the formats above (or the locale's unwidened ones);
    // nothing for an empty or unparsable text.
    [[nodiscard]] std::optional<QDate> parseDate(const QString &text) const;
    [[nodiscard]] std::optional<QTime> parseTime(const QString &text) const;
    [[nodiscard]] std::optional<QDateTime> parseDateTime(const QString &text) const;

private:
    QLocale m_locale;
    QString m_date;
    QString m_time;
};

} // namespace varnholt
