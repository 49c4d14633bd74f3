#pragma once

#include <QString>

namespace varnholt {

// `text` with its first `letter` (either case) marked as the Alt+letter
// ("&"); unchanged when it holds no such letter.
inline QString WithMnemonic(const QString &text, QChar letter)
{
    QString marked = text;
    const qsizetype at = marked.indexOf(letter, 0, Qt::CaseInsensitive);
    if (at >= 0)
        marked.insert(at, u'&');
    return marked;
}

} // namespace varnholt
