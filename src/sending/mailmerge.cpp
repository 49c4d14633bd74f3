#include "sending/mailmerge.h"

namespace varnholt {

void ReplaceAllNoCase(QString &text, QStringView pattern, QStringView value)
{
    if (pattern.isEmpty())
        return;
    // Every pattern starts with a fixed character ("["), so candidates are
    // found with a plain character search; only those are compared without
    // regard to case. This keeps a merge over a long list cheap.
    const QChar first = pattern.front();
    const bool firstHasCase = first.toLower() != first.toUpper();
    const auto nextCandidate = [&](qsizetype from) {
        return firstHasCase ? text.indexOf(pattern, from, Qt::CaseInsensitive) : text.indexOf(first, from);
    };
    qsizetype pos = nextCandidate(0);
    while (pos >= 0 && pos + pattern.size() <= text.size()) {
        if (QStringView(text).mid(pos, pattern.size()).compare(pattern, Qt::CaseInsensitive) == 0) {
            text.replace(pos, pattern.size(), value.toString());
            pos = nextCandidate(pos + value.size());
        } else {
            pos = nextCandidate(pos + 1);
        }
    }
}

QStringList MergeFieldForms(const QString &title)
{
    QStringList forms{u'[' + title + u']'};
    if (title.size() >= 7 && title.at(6) != u' ')
        forms.append(u'[' + title.left(6) + u' ' + title.mid(6) + u']');
    return forms;
}

QString MergeFields(QString text, const QList<QStringList> &fieldForms,
                    const std::function<QString(int column)> &cell)
{
    for (int column = 0; column < fieldForms.size(); ++column) {
        // Every field starts with "[", and values only ever replace fields:
        // once none is left, no later column can change the text.
        if (!text.contains(u'['))
            break;
        const QString value = cell(column);
        for (const QString &form : fieldForms.at(column))
            ReplaceAllNoCase(text, form, value);
    }
    return text;
}

QString MergeFields(QString text, const QStringList &titles, const std::function<QString(int column)> &cell)
{
    QList<QStringList> forms;
    forms.reserve(titles.size());
    for (const QString &title : titles)
        forms.append(MergeFieldForms(title));
    return MergeFields(std::move(text), forms, cell);
}

} // namespace varnholt
