#pragma once

#include "mime/encodings.h"
#include "project/listtable.h"
#include "settings/syscharset.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

// Texts between the program and the system charset on the paths that run
// once per recipient. Plain ASCII reads and writes as itself in UTF-8, so it
// is copied without a converter; everything else goes through
// SystemCharset.
namespace varnholt {

// Appends `text` in the system charset.
inline void appendSystemText(QByteArray &out, QStringView text)
{
    if (!isAscii(text) || !SystemCharset::isUtf8()) {
        out += SystemCharset::fromUnicode(text);
        return;
    }
    const qsizetype at = out.size();
    out.resize(at + text.size());
    copyAscii(out.data() + at, text);
}

// A cell of the project table as text, as ListTable::cell gives it.
[[nodiscard]] inline QString cellText(const ListTable &table, int row, int column)
{
    const QByteArrayView bytes = table.cellBytes(row, column);
    if (!HasHighBytes(bytes) && SystemCharset::isUtf8())
        return QString::fromLatin1(bytes);
    return table.cell(row, column);
}

} // namespace varnholt
