#include "logrecords.h"

#include "fields.h"
#include "syscharset.h"
#include "textfile.h"

namespace varnholt {

TLogDataObj::TLogDataObj(const QString &goodWord, const QString &badWord)
    : GoodWord(goodWord)
    , BadWord(badWord)
{
}

void TLogDataObj::Clear()
{
    Time = QTime();
    Address.clear();
    Status = StatusNone;
    Comment.clear();
}

void TLogDataObj::ParseLine(const QString &line)
{
    Clear();
    const QStringList pieces = SplitFields(u";", line);
    if (pieces.size() > 0) {
        Time = QTime::fromString(pieces[0], QStringLiteral("hh:mm:ss"));
        if (!Time.isValid())
            Time = QTime::fromString(pieces[0], QStringLiteral("h:mm:ss"));
    }
    if (pieces.size() > 1)
        Address = pieces[1];
    if (pieces.size() > 2) {
        if (pieces[2] == GoodWord)
            Status = StatusGood;
        else if (pieces[2] == BadWord)
            Status = StatusBad;
    }
    if (pieces.size() > 3)
        Comment = pieces[3];
}

QString TLogDataObj::StatusText() const
{
    switch (Status) {
    case StatusGood:
        return GoodWord;
    case StatusBad:
        return BadWord;
    default:
        return {};
    }
}

QString TLogDataObj::TimeText() const
{
    return (Time.isValid() ? Time : QTime(0, 0)).toString(QStringLiteral("hh:mm:ss"));
}

TLogListObj::TLogListObj(const QString &path, const QString &goodWord, const QString &badWord)
    : m_path(path)
    , m_goodWord(goodWord)
    , m_badWord(badWord)
{
}

bool TLogListObj::Load()
{
    Clear();
    const auto bytes = readFileBytes(m_path);
    if (!bytes)
        return false;
    forEachLine(*bytes, [this](QByteArrayView line) {
        TLogDataObj record(m_goodWord, m_badWord);
        record.ParseLine(SystemCharset::toUnicode(line));
        m_records.push_back(std::move(record));
    });
    return true;
}

const TLogDataObj *TLogListObj::item(int index) const
{
    return index >= 0 && index < count() ? &m_records[size_t(index)] : nullptr;
}

} // namespace varnholt
