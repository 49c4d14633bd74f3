#pragma once

#include <QString>
#include <QTime>

#include <vector>

// A send log in memory, for the log viewer. A log line is
// "hh:mm:ss;address;state word;comment".
namespace varnholt {

class TLogDataObj
{
public:
    enum Status { StatusNone = 0, StatusGood = 2, StatusBad = 3 };

    TLogDataObj(const QString &goodWord, const QString &badWord);

    // Time unset, address and comment empty, status none.
    void Clear();
    void ParseLine(const QString &line);

    // The good word for a good record, the bad word for a bad one, else empty.
    [[nodiscard]] QString StatusText() const;
    // "hh:mm:ss"; "00:00:00" when the time is unset.
    [[nodiscard]] QString TimeText() const;

    QTime Time; // invalid when unset
    QString Address;
    int Status = StatusNone;
    QString Comment;
    QString GoodWord;
    QString BadWord;
};

class TLogListObj
{
public:
    TLogListObj(const QString &path, const QString &goodWord, const QString &badWord);

    // Reads the file, one record per line. False (and no records) when the
    // file does not exist or cannot be read.
    bool Load();
    void Clear() { m_records.clear(); }

    [[nodiscard]] int count() const { return int(m_records.size()); }
    // Null when `index` is out of range.
    [[nodiscard]] const TLogDataObj *item(int index) const;

    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString goodWord() const { return m_goodWord; }
    [[nodiscard]] QString badWord() const { return m_badWord; }

private:
    QString m_path;
    QString m_goodWord;
    QString m_badWord;
    std::vector<TLogDataObj> m_records;
};

} // namespace varnholt
