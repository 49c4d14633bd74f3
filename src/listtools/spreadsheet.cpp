#include "spreadsheet.h"

#include "project/listtable.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>
#include <QXmlStreamReader>

#include <unzip.h>

#include <freexl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

namespace varnholt {

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kProgressEveryRows = 4096;
// An .xls workbook is read whole by FreeXL; larger ones are refused.
constexpr qint64 kMaxXlsBytes = qint64(256) << 20;
// A workbook archive holds a few dozen parts; far more is not one.
constexpr int kMaxZipEntries = 100000;

const QString kOdsTable = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:table:1.0");
const QString kOdsOffice = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:office:1.0");
const QString kOdsText = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:text:1.0");

bool isBlank(QByteArrayView bytes)
{
    for (char c : bytes) {
        if (uchar(c) > ' ')
            return false;
    }
    return true;
}

QByteArray toSystem(QStringView text)
{
    if (SystemCharset::isUtf8())
        return text.toUtf8();
    return SystemCharset::fromUnicode(text.toString());
}

// "B12" into a 0-based row and column; either may be left out ("B", "12").
struct CellRef {
    int row = -1;
    int column = -1;
};

std::optional<CellRef> parseCellRef(QStringView text)
{
    CellRef ref;
    qsizetype i = 0;
    qint64 column = 0;
    while (i < text.size() && text[i].isLetter()) {
        const char16_t c = text[i].toUpper().unicode();
        if (c < u'A' || c > u'Z')
            return std::nullopt;
        column = column * 26 + (c - u'A' + 1);
        if (column > kMaxSheetColumns)
            return std::nullopt;
        ++i;
    }
    // Absolute references ("$B$12") mean the same cell.
    if (i < text.size() && text[i] == u'$')
        ++i;
    qint64 row = 0;
    const qsizetype digits = i;
    while (i < text.size() && text[i].isDigit()) {
        row = row * 10 + text[i].digitValue();
        if (row > kMaxSheetRows)
            return std::nullopt;
        ++i;
    }
    if (i != text.size() || (column == 0 && i == digits))
        return std::nullopt;
    if (i > digits && row == 0)
        return std::nullopt;
    ref.column = int(column) - 1;
    ref.row = i > digits ? int(row) - 1 : -1;
    return ref;
}

// ---- values as the user sees them ----------------------------------------------

enum class NumberKind : quint8 { General, Date, DateTime, Time, Percent };

// What a number format shows: a date, a time, both, a percentage, or a
// plain number. Quoted text, escaped characters and [colour] sections say
// nothing about it; [h], [mm] and [ss] are elapsed times.
NumberKind classifyFormatCode(QStringView code)
{
    bool date = false, time = false, month = false, percent = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i];
        if (c == u'"') {
            const qsizetype end = code.indexOf(u'"', i + 1);
            i = end < 0 ? code.size() : end;
            continue;
        }
        if (c == u'\\' || c == u'_' || c == u'*') {
            ++i;
            continue;
        }
        if (c == u'[') {
            const qsizetype end = code.indexOf(u']', i + 1);
            const QStringView inside = code.mid(i + 1, (end < 0 ? code.size() : end) - i - 1);
            const QChar first = inside.isEmpty() ? QChar() : inside[0].toLower();
            if (first == u'h' || first == u'm' || first == u's')
                time = true;
            i = end < 0 ? code.size() : end;
            continue;
        }
        if (c == u';')
            break; // the first section rules positive numbers
        switch (c.toLower().unicode()) {
        case u'd':
        case u'y': date = true; break;
        case u'h':
        case u's': time = true; break;
        case u'm': month = true; break;
        case u'%': percent = true; break;
        default: break;
        }
    }
    if (month && !time)
        date = true;
    if (date && time)
        return NumberKind::DateTime;
    if (date)
        return NumberKind::Date;
    if (time)
        return NumberKind::Time;
    return percent ? NumberKind::Percent : NumberKind::General;
}

NumberKind builtinFormatKind(int id)
{
    if ((id >= 14 && id <= 17) || (id >= 27 && id <= 31) || (id >= 34 && id <= 36) || (id >= 50 && id <= 58))
        return NumberKind::Date;
    if (id == 22)
        return NumberKind::DateTime;
    if ((id >= 18 && id <= 21) || id == 32 || id == 33 || (id >= 45 && id <= 47))
        return NumberKind::Time;
    if (id == 9 || id == 10)
        return NumberKind::Percent;
    return NumberKind::General;
}

class ValueFormatter
{
public:
    ValueFormatter() : m_locale(QLocale::system())
    {
        m_dateFormat = m_locale.dateFormat(QLocale::ShortFormat);
        m_timeFormat = m_locale.timeFormat(QLocale::ShortFormat);
    }

    // A number without a trailing ".0": integers in full up to 15 digits,
    // others with 15 significant digits, as spreadsheet programs keep them.
    static QByteArray number(double value)
    {
        if (!std::isfinite(value))
            return {};
        if (value == 0)
            return QByteArrayLiteral("0");
        if (std::abs(value) < 1e15 && value == std::trunc(value))
            return QByteArray::number(qint64(value));
        return QByteArray::number(value, 'g', 15);
    }

    // The number text of a file ("42", "42.0", "1.5E3"): plain integers
    // are kept as they are.
    static QByteArray numberText(QStringView text, bool *ok)
    {
        *ok = true;
        const QStringView t = text.trimmed();
        bool integer = !t.isEmpty() && t.size() <= 15;
        for (qsizetype i = 0; integer && i < t.size(); ++i) {
            if (!t[i].isDigit() && !(i == 0 && t[i] == u'-' && t.size() > 1))
                integer = false;
        }
        if (integer && !(t.size() > 1 && t[0] == u'0') && !(t.size() > 2 && t[0] == u'-' && t[1] == u'0'))
            return t.toLatin1();
        const double value = t.toDouble(ok);
        return *ok ? number(value) : QByteArray();
    }

    QByteArray date(QDate d) const { return toSystem(d.toString(m_dateFormat)); }
    QByteArray time(QTime t) const { return toSystem(t.toString(m_timeFormat)); }
    QByteArray dateTime(QDate d, QTime t) const
    {
        return toSystem(d.toString(m_dateFormat) + u' ' + t.toString(m_timeFormat));
    }

    // A spreadsheet serial number (days since the epoch, the day's fraction
    // as the time) in a date format.
    QByteArray serial(double value, NumberKind kind, bool date1904) const
    {
        if (!std::isfinite(value) || value < 0 || value > 2958466)
            return number(value);
        double days = std::floor(value);
        const double fraction = value - days;
        qint64 ms = std::llround(fraction * 86400000.0);
        if (ms >= 86400000) {
            ms -= 86400000;
            days += 1;
        }
        const QTime t = QTime::fromMSecsSinceStartOfDay(int(ms));
        QDate d;
        if (date1904) {
            d = QDate(1904, 1, 1).addDays(qint64(days));
        } else {
            // The 1900 system counts a 29 February 1900 that never was:
            // serial 60 is shown as that day, later ones are one day early.
            if (days == 60) {
                if (kind == NumberKind::Time)
                    return time(t);
                // A day QDate cannot hold: the 28th in the system's form,
                // its day made the 29th (1900 and 2 hold no "28").
                return toSystem(QDate(1900, 2, 28).toString(m_dateFormat).replace(u"28"_s, u"29"_s));
            }
            d = QDate(1899, 12, days < 60 ? 31 : 30).addDays(qint64(days));
        }
        switch (kind) {
        case NumberKind::Time: return time(t);
        case NumberKind::DateTime: return ms == 0 ? date(d) : dateTime(d, t);
        default: return date(d);
        }
    }

    QByteArray formatted(double value, NumberKind kind, bool date1904) const
    {
        switch (kind) {
        case NumberKind::General: return number(value);
        case NumberKind::Percent: return number(value * 100.0) + '%';
        default: return serial(value, kind, date1904);
        }
    }

private:
    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
};

// ---- rows out of cells ---------------------------------------------------------

struct Merge {
    int firstRow, firstColumn, lastRow, lastColumn;
    QByteArray value;
};

// Gathers the cells of one sheet row at a time, fills merged ranges, cuts
// the row to the range and hands non-empty rows on.
class RowAssembler
{
public:
    RowAssembler(const CellRange &range, const SheetRowSink &sink) : m_range(range), m_sink(sink) {}

    // Merged ranges known before the rows (sorted here by first row).
    void setMerges(std::vector<Merge> merges)
    {
        std::sort(merges.begin(), merges.end(),
                  [](const Merge &a, const Merge &b) { return a.firstRow < b.firstRow; });
        m_merges = std::move(merges);
        for (const Merge &m : m_merges)
            m_mergesEnd = std::max<qint64>(m_mergesEnd, qint64(m.lastRow) + 1);
    }
    // A merged range met on its top-left cell (rows come in order, so the
    // list stays sorted by first row).
    void addMerge(const Merge &merge)
    {
        if (m_merges.size() >= size_t(Workbook::kMaxMergedRanges)) {
            m_mergesDropped = true;
            return;
        }
        m_merges.push_back(merge);
        m_mergesEnd = std::max<qint64>(m_mergesEnd, qint64(merge.lastRow) + 1);
    }
    [[nodiscard]] bool mergesDropped() const { return m_mergesDropped; }

    // A cell of the current row; false when it lies beyond the sheet.
    bool setCell(int column, QByteArray value)
    {
        if (column < 0 || column >= kMaxSheetColumns) {
            m_error = QStringLiteral("a cell lies beyond the last column of a sheet");
            return false;
        }
        if (value.isEmpty())
            return true;
        if (size_t(column) >= m_cells.size())
            m_cells.resize(size_t(column) + 1);
        m_cells[size_t(column)] = std::move(value);
        return true;
    }
    [[nodiscard]] bool rowHasCells() const { return !m_cells.empty(); }

    // Ends row `row`, shown `repeat` times (an ODS repeated row); rows
    // come in ascending order. Rows between the last one and this one that
    // lie in a merged range are made first. False stops the pass: an error
    // (`error()`) or the sink.
    bool endRow(qint64 row, qint64 repeat = 1)
    {
        if (row < 0 || row >= kMaxSheetRows)
            return fail(QStringLiteral("a row lies beyond row %1, the last of a sheet").arg(kMaxSheetRows));
        if (row <= m_lastRow)
            row = m_lastRow + 1; // rows out of order: take them as they come
        if (row > m_lastRow + 1 && !m_merges.empty()) {
            std::vector<QByteArray> held;
            held.swap(m_cells);
            if (!fillGap(m_lastRow + 1, row))
                return false;
            m_cells.swap(held);
        }
        if (repeat <= 1)
            return emitRow(row);
        const std::vector<QByteArray> cells = m_cells;
        for (qint64 i = 0; i < repeat; ++i) {
            if (row + i >= kMaxSheetRows)
                return fail(QStringLiteral("a row lies beyond row %1, the last of a sheet").arg(kMaxSheetRows));
            if (i > 0)
                m_cells = cells;
            if (!emitRow(row + i))
                return false;
            if (pastRange())
                break;
        }
        return true;
    }

    // `count` empty rows from `row` on (an ODS run of repeated rows).
    bool emptyRows(qint64 row, qint64 count)
    {
        m_cells.clear();
        if (row <= m_lastRow)
            row = m_lastRow + 1;
        count = std::min<qint64>(count, kMaxSheetRows - row);
        if (count <= 0)
            return true;
        if (!fillGap(row, row + count))
            return false;
        m_lastRow = std::max(m_lastRow, row + count - 1);
        return true;
    }

    // Merged ranges still open after the last row.
    bool finish()
    {
        if (m_mergesEnd > m_lastRow + 1) {
            m_cells.clear();
            return fillGap(m_lastRow + 1, m_mergesEnd);
        }
        return true;
    }

    // Whether no row from here on can lie inside the range.
    [[nodiscard]] bool pastRange() const
    {
        return m_range.lastRow >= 0 && m_lastRow >= m_range.lastRow
               && (m_merges.empty() || m_mergesEnd <= m_lastRow + 1);
    }

    [[nodiscard]] const QString &error() const { return m_error; }
    [[nodiscard]] bool stoppedBySink() const { return m_sinkStopped; }

private:
    bool fail(const QString &why)
    {
        m_error = why;
        return false;
    }

    // Makes the rows from `from` up to `to` that merged ranges cover.
    bool fillGap(qint64 from, qint64 to)
    {
        qint64 row = from;
        while (row < to && !m_merges.empty()) {
            activate(row);
            if (m_active.empty()) {
                // On to the next range's first row.
                if (m_nextMerge >= m_merges.size())
                    break;
                row = std::max<qint64>(row, m_merges[m_nextMerge].firstRow);
                continue;
            }
            m_cells.clear();
            if (!emitRow(row))
                return false;
            ++row;
        }
        return true;
    }

    // The ranges that cover `row` (rows come in ascending order).
    void activate(qint64 row)
    {
        while (m_nextMerge < m_merges.size() && m_merges[m_nextMerge].firstRow <= row)
            m_active.push_back(m_nextMerge++);
        std::erase_if(m_active, [&](size_t i) { return m_merges[i].lastRow < row; });
    }

    bool emitRow(qint64 row)
    {
        m_lastRow = row;
        if (!m_merges.empty())
            applyMerges(row);
        if (!m_range.containsRow(row)) {
            m_cells.clear();
            return true;
        }
        const size_t first = size_t(m_range.firstColumn);
        size_t end = m_cells.size();
        if (m_range.lastColumn >= 0)
            end = std::min(end, size_t(m_range.lastColumn) + 1);
        while (end > first && m_cells[end - 1].isEmpty())
            --end;
        bool blank = true;
        for (size_t c = first; c < end && blank; ++c)
            blank = isBlank(m_cells[c]);
        if (blank || end <= first) {
            m_cells.clear();
            return true;
        }
        const std::span<const QByteArray> cells(m_cells.data() + first, end - first);
        const bool go = m_sink(row, cells);
        m_cells.clear();
        if (!go)
            m_sinkStopped = true;
        return go;
    }

    void applyMerges(qint64 row)
    {
        const int rangeEnd = m_range.lastColumn >= 0 ? m_range.lastColumn
                                                     : m_range.firstColumn + kMaxImportColumns;
        activate(row);
        // Overlapping ranges (which no spreadsheet program writes) could
        // make this quadratic: past a budget of work the rest are dropped.
        m_mergeWork += qint64(m_active.size());
        if (m_mergeWork > kMaxMergeWork) {
            dropMerges();
            return;
        }
        for (size_t i : m_active) {
            Merge &m = m_merges[i];
            if (row == m.firstRow)
                m.value = size_t(m.firstColumn) < m_cells.size() ? m_cells[size_t(m.firstColumn)] : QByteArray();
            if (m.value.isEmpty())
                continue;
            // Only the columns the range shows are filled.
            const int from = std::max(m.firstColumn, m_range.firstColumn);
            const int to = std::min(m.lastColumn, rangeEnd);
            if (to < from)
                continue;
            if (m_cells.size() < size_t(to) + 1)
                m_cells.resize(size_t(to) + 1);
            for (int c = from; c <= to; ++c)
                m_cells[size_t(c)] = m.value;
            m_mergeWork += to - from + 1;
        }
    }

    void dropMerges()
    {
        m_merges.clear();
        m_active.clear();
        m_nextMerge = 0;
        m_mergesEnd = 0;
        m_mergesDropped = true;
    }

    // Cells filled and ranges looked at, at most, for merged ranges.
    static constexpr qint64 kMaxMergeWork = qint64(64) << 20;

    const CellRange &m_range;
    const SheetRowSink &m_sink;
    std::vector<QByteArray> m_cells;
    std::vector<Merge> m_merges;      // sorted by first row
    size_t m_nextMerge = 0;           // the first range not yet reached
    std::vector<size_t> m_active;     // the ranges covering the current row
    qint64 m_mergesEnd = 0;           // the row after the last one a range covers
    qint64 m_mergeWork = 0;
    bool m_mergesDropped = false;
    qint64 m_lastRow = -1;
    QString m_error;
    bool m_sinkStopped = false;
};

// ---- parts of a ZIP archive ----------------------------------------------------

// A ZIP archive opened for reading with minizip (the copy the workbook
// export's libxlsxwriter loads too: one ZIP library in the process).
class ZipArchive
{
public:
    ~ZipArchive()
    {
        if (m_file)
            unzClose(m_file);
    }
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    static std::unique_ptr<ZipArchive> open(const QString &path, QString *error)
    {
        std::unique_ptr<ZipArchive> zip(new ZipArchive);
        const QByteArray name = QFile::encodeName(path);
        zip->m_file = unzOpen64(name.constData());
        unz_global_info64 global{};
        if (!zip->m_file || unzGetGlobalInfo64(zip->m_file, &global) != UNZ_OK) {
            *error = QStringLiteral("it is not a workbook (the ZIP archive cannot be read)");
            return nullptr;
        }
        if (global.number_entry > ZPOS64_T(kMaxZipEntries)) {
            *error = QStringLiteral("it is not a workbook (its archive holds %1 parts)").arg(global.number_entry);
            return nullptr;
        }
        for (int rc = unzGoToFirstFile(zip->m_file); rc == UNZ_OK; rc = unzGoToNextFile(zip->m_file)) {
            char entry[1024];
            if (unzGetCurrentFileInfo64(zip->m_file, nullptr, entry, sizeof entry, nullptr, 0, nullptr, 0) == UNZ_OK)
                zip->m_names.append(QString::fromUtf8(entry));
        }
        return zip;
    }

    [[nodiscard]] const QStringList &names() const { return m_names; }
    // Makes `name` the current entry.
    bool locate(const QString &name) { return unzLocateFile(m_file, name.toUtf8().constData(), 1) == UNZ_OK; }
    [[nodiscard]] unzFile handle() const { return m_file; }

private:
    ZipArchive() = default;
    unzFile m_file = nullptr;
    QStringList m_names;
};

// One part of the archive as a device for QXmlStreamReader, counting what
// it expands to: a part that grows beyond the limits is cut off with a
// reason, and so is one XML item that never ends.
class PartDevice : public QIODevice
{
public:
    PartDevice(ZipArchive &zip, QString name) : m_zip(zip), m_name(std::move(name)) {}
    ~PartDevice() override { close(); }

    bool openPart(QString *error)
    {
        if (!m_zip.locate(m_name)) {
            *error = QStringLiteral("the part \"%1\" is missing").arg(m_name);
            return false;
        }
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(m_zip.handle(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
            *error = QStringLiteral("the part \"%1\" is damaged").arg(m_name);
            return false;
        }
        if (info.flag & 1) { // APPNOTE 4.4.4: bit 0, the entry is encrypted
            *error = QStringLiteral("it is protected by a password");
            return false;
        }
        m_compressed = qint64(info.compressed_size);
        m_declared = qint64(info.uncompressed_size);
        if (m_declared > Workbook::kMaxPartBytes
            || (m_declared > Workbook::kRatioCheckAfter
                && m_declared > Workbook::kMaxRatio * std::max<qint64>(m_compressed, 1))) {
            *error = bombText();
            return false;
        }
        if (unzOpenCurrentFile(m_zip.handle()) != UNZ_OK) {
            *error = QStringLiteral("the part \"%1\" cannot be read").arg(m_name);
            return false;
        }
        m_entryOpen = true;
        return QIODevice::open(QIODevice::ReadOnly);
    }

    [[nodiscard]] bool isSequential() const override { return true; }
    [[nodiscard]] qint64 expanded() const { return m_expanded; }
    [[nodiscard]] qint64 declared() const { return m_declared; }
    [[nodiscard]] const QString &failure() const { return m_failure; }
    // An XML item ended: the count of bytes per item starts again.
    void itemEnded() { m_sinceItem = 0; }

    void close() override
    {
        if (m_entryOpen)
            unzCloseCurrentFile(m_zip.handle());
        m_entryOpen = false;
        QIODevice::close();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (!m_failure.isEmpty())
            return -1;
        if (!m_entryOpen)
            return -1;
        const int n = unzReadCurrentFile(m_zip.handle(), data, unsigned(std::min<qint64>(maxSize, 1 << 16)));
        if (n < 0) {
            m_failure = QStringLiteral("the part \"%1\" is damaged").arg(m_name);
            return -1;
        }
        if (n == 0)
            return -1;
        m_expanded += n;
        m_sinceItem += n;
        if (m_expanded > Workbook::kMaxPartBytes
            || (m_expanded > Workbook::kRatioCheckAfter
                && m_expanded > Workbook::kMaxRatio * std::max<qint64>(m_compressed, 1))) {
            m_failure = bombText();
            return -1;
        }
        if (m_sinceItem > Workbook::kMaxXmlItemBytes) {
            m_failure = QStringLiteral("the part \"%1\" holds one XML item of more than %2 MB")
                            .arg(m_name)
                            .arg(Workbook::kMaxXmlItemBytes >> 20);
            return -1;
        }
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QString bombText() const
    {
        return QStringLiteral("the part \"%1\" expands to far more than its compressed size (%2 bytes); it is taken "
                              "for a ZIP bomb and not read")
            .arg(m_name)
            .arg(m_compressed);
    }

    ZipArchive &m_zip;
    bool m_entryOpen = false;
    QString m_name;
    qint64 m_compressed = 0;
    qint64 m_declared = 0;
    qint64 m_expanded = 0;
    qint64 m_sinceItem = 0;
    QString m_failure;
};

// A pass over one XML part: tokens one by one, refusing a document type
// declaration (and with it every entity a file could declare).
class XmlPass
{
public:
    XmlPass(ZipArchive &zip, const QString &part) : m_device(zip, part), m_part(part) {}

    bool open(QString *error)
    {
        if (!m_device.openPart(error))
            return false;
        m_xml.setDevice(&m_device);
        return true;
    }

    // The next token; false at the end of the document or on an error.
    bool next()
    {
        m_device.itemEnded();
        const QXmlStreamReader::TokenType token = m_xml.readNext();
        if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::EntityReference) {
            m_error = QStringLiteral("the part \"%1\" declares a document type or entities, which a workbook "
                                     "never does; it is not read")
                          .arg(m_part);
            return false;
        }
        if (m_xml.hasError()) {
            if (!m_device.failure().isEmpty())
                m_error = m_device.failure();
            else
                m_error = QStringLiteral("the part \"%1\" is not well-formed XML (line %2: %3)")
                              .arg(m_part)
                              .arg(m_xml.lineNumber())
                              .arg(m_xml.errorString());
            return false;
        }
        return token != QXmlStreamReader::EndDocument;
    }

    // The text up to the end of the current element (elements inside it
    // add their text).
    QString elementText()
    {
        QString text;
        int depth = 1;
        while (depth > 0 && next()) {
            if (m_xml.isStartElement())
                ++depth;
            else if (m_xml.isEndElement())
                --depth;
            else if (m_xml.isCharacters())
                text += m_xml.text();
        }
        return text;
    }

    // Skips to the end of the current element.
    void skipElement()
    {
        int depth = 1;
        while (depth > 0 && next()) {
            if (m_xml.isStartElement())
                ++depth;
            else if (m_xml.isEndElement())
                --depth;
        }
    }

    QXmlStreamReader &xml() { return m_xml; }
    [[nodiscard]] const QString &error() const { return m_error; }
    [[nodiscard]] bool failed() const { return !m_error.isEmpty(); }
    [[nodiscard]] qint64 expanded() const { return m_device.expanded(); }
    [[nodiscard]] qint64 declared() const { return m_device.declared(); }

private:
    PartDevice m_device;
    QString m_part;
    QXmlStreamReader m_xml;
    QString m_error;
};

QStringView attribute(const QXmlStreamAttributes &attributes, QStringView name)
{
    for (const QXmlStreamAttribute &a : attributes) {
        if (a.name() == name)
            return a.value();
    }
    return {};
}

// Unescapes the five XML entities and numeric references of an attribute
// value found by a byte scan.
QString unescapeXml(QStringView text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'&') {
            out += text[i];
            continue;
        }
        const qsizetype end = text.indexOf(u';', i);
        if (end < 0) {
            out += text.mid(i);
            break;
        }
        const QStringView name = text.mid(i + 1, end - i - 1);
        if (name == u"amp")
            out += u'&';
        else if (name == u"lt")
            out += u'<';
        else if (name == u"gt")
            out += u'>';
        else if (name == u"quot")
            out += u'"';
        else if (name == u"apos")
            out += u'\'';
        else if (name.startsWith(u'#')) {
            bool ok = false;
            const uint code = name.startsWith(u"#x") ? name.mid(2).toUInt(&ok, 16) : name.mid(1).toUInt(&ok);
            if (ok && code > 0 && code < 0x110000)
                out += QString::fromUcs4(reinterpret_cast<const char32_t *>(&code), 1);
        }
        i = end;
    }
    return out;
}

// Whether the name at `at` is the name of a tag: "<" or "<prefix:" before it.
bool startsTag(QByteArrayView text, qsizetype at)
{
    auto nameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
               || c == '.';
    };
    qsizetype i = at - 1;
    if (i >= 0 && text[i] == ':') {
        --i;
        while (i >= 0 && nameChar(text[i]))
            --i;
    }
    return i >= 0 && text[i] == '<';
}

QString resolvePart(const QString &base, QString target)
{
    if (target.startsWith(u'/'))
        return QDir::cleanPath(target.mid(1));
    return QDir::cleanPath(base.isEmpty() ? target : base + u'/' + target);
}

QString folderOf(const QString &part)
{
    const qsizetype slash = part.lastIndexOf(u'/');
    return slash < 0 ? QString() : part.left(slash);
}

} // namespace

// ---- the readers behind a workbook -------------------------------------------

class Workbook::Reader
{
public:
    virtual ~Reader() = default;
    // Reads the sheet's rows into the assembler.
    virtual SheetReadResult read(int sheet, RowAssembler &rows, const ImportProgress &progress) = 0;

    // The end of reading a sheet's XML: the first failure of the pass or
    // the rows says the outcome, else the rows are finished.
    SheetReadResult endOfSheet(const XmlPass &pass, RowAssembler &rows, SheetReadResult result)
    {
        if (pass.failed()) {
            result.error = pass.error();
            return result;
        }
        if (!rows.error().isEmpty()) {
            result.error = rows.error();
            return result;
        }
        if (rows.stoppedBySink()) {
            result.stopped = true;
            return result;
        }
        if (!rows.finish()) {
            result.error = rows.error();
            result.stopped = rows.stoppedBySink();
            return result;
        }
        if (rows.mergesDropped())
            noteDroppedMerges();
        result.ok = true;
        return result;
    }

    // Too many (or overlapping) merged ranges: some were left unfilled.
    void noteDroppedMerges()
    {
        const QString note = QStringLiteral("The sheet has too many or overlapping merged ranges; some hold their "
                                            "value in their top-left cell only.");
        if (!notes.contains(note))
            notes.append(note);
    }

    QString path;
    SpreadsheetFormat format = SpreadsheetFormat::Xlsx;
    QStringList sheets;
    QStringList notes;
};

namespace {

// A zip archive opened for one pass.
std::unique_ptr<ZipArchive> openZip(const QString &path, QString *error)
{
    return ZipArchive::open(path, error);
}

class XlsxReader : public Workbook::Reader
{
public:
    bool load(ZipArchive &zip, QString *error, const ImportProgress &progress)
    {
        const QStringList &names = zip.names();
        m_names = QSet<QString>(names.begin(), names.end());

        // The package's relationships name the workbook part.
        QString workbookPart = QStringLiteral("xl/workbook.xml");
        if (m_names.contains(QStringLiteral("_rels/.rels"))) {
            const auto rels = relationships(zip, QStringLiteral("_rels/.rels"), QString(), error);
            if (!rels)
                return false;
            for (const auto &[id, rel] : *rels) {
                if (rel.first.endsWith(u"/officeDocument"))
                    workbookPart = rel.second;
            }
        }
        if (!m_names.contains(workbookPart)) {
            *error = QStringLiteral("it is not a workbook (the archive holds no workbook part)");
            return false;
        }
        const QString folder = folderOf(workbookPart);
        const QString relsPart = (folder.isEmpty() ? QString() : folder + u'/') + QStringLiteral("_rels/")
                                 + workbookPart.mid(folder.isEmpty() ? 0 : folder.size() + 1) + QStringLiteral(".rels");
        std::map<QString, std::pair<QString, QString>> rels;
        if (m_names.contains(relsPart)) {
            auto r = relationships(zip, relsPart, folder, error);
            if (!r)
                return false;
            rels = std::move(*r);
        }
        QString sharedPart, stylesPart;
        for (const auto &[id, rel] : rels) {
            if (rel.first.endsWith(u"/sharedStrings"))
                sharedPart = rel.second;
            else if (rel.first.endsWith(u"/styles"))
                stylesPart = rel.second;
        }

        // The sheet list.
        {
            XmlPass pass(zip, workbookPart);
            if (!pass.open(error))
                return false;
            while (pass.next()) {
                QXmlStreamReader &xml = pass.xml();
                if (!xml.isStartElement())
                    continue;
                if (xml.name() == u"workbookPr") {
                    const QStringView d = attribute(xml.attributes(), u"date1904");
                    m_date1904 = d == u"1" || d == u"true";
                } else if (xml.name() == u"sheet") {
                    const QXmlStreamAttributes a = xml.attributes();
                    QString id;
                    for (const QXmlStreamAttribute &attr : a) {
                        if (attr.name() == u"id" && !attr.namespaceUri().isEmpty())
                            id = attr.value().toString();
                    }
                    const auto rel = rels.find(id);
                    // Chart sheets and dialog sheets hold no cells.
                    if (rel == rels.end() || !rel->second.first.endsWith(u"/worksheet"))
                        continue;
                    sheets.append(attribute(a, u"name").toString());
                    m_sheetParts.append(rel->second.second);
                }
            }
            if (pass.failed()) {
                *error = pass.error();
                return false;
            }
        }
        if (sheets.isEmpty()) {
            *error = QStringLiteral("the workbook holds no worksheet");
            return false;
        }
        if (!stylesPart.isEmpty() && m_names.contains(stylesPart) && !loadStyles(zip, stylesPart, error))
            return false;
        if (!sharedPart.isEmpty() && m_names.contains(sharedPart)
            && !loadSharedStrings(zip, sharedPart, error, progress))
            return false;
        return true;
    }

    SheetReadResult read(int sheet, RowAssembler &rows, const ImportProgress &progress) override
    {
        SheetReadResult result;
        QString error;
        auto zip = openZip(path, &error);
        if (!zip) {
            result.error = error;
            return result;
        }
        const QString part = m_sheetParts.value(sheet);
        // A sheet lists its merged ranges after its rows: a scan of the
        // bytes finds them before the rows are read.
        auto found = m_merges.find(sheet);
        if (found == m_merges.end()) {
            bool stopped = false;
            auto merges = scanMerges(*zip, part, &error, progress, &stopped);
            if (!merges) {
                result.error = error;
                result.stopped = stopped;
                return result;
            }
            found = m_merges.emplace(sheet, std::move(*merges)).first;
        }
        rows.setMerges(found->second);

        XmlPass pass(*zip, part);
        if (!pass.open(&error)) {
            result.error = error;
            return result;
        }
        ValueFormatter formatter;
        qint64 rowIndex = -1;  // the current row
        int column = -1;       // the last cell's column
        qint64 count = 0;
        bool inRow = false;
        QString value;
        while (pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isEndElement()) {
                if (inRow && xml.name() == u"row") {
                    inRow = false;
                    if (!rows.endRow(rowIndex))
                        break;
                    // The scan for merged ranges was the first quarter of the work.
                    const qint64 total = std::max(pass.declared(), pass.expanded());
                    if (progress && ++count % kProgressEveryRows == 0
                        && !progress(total / 4 + pass.expanded() * 3 / 4, total)) {
                        result.stopped = true;
                        return result;
                    }
                    if (rows.pastRange())
                        break;
                } else if (xml.name() == u"sheetData") {
                    break;
                }
                continue;
            }
            if (!xml.isStartElement())
                continue;
            const QStringView name = xml.name();
            if (name == u"row") {
                const QStringView r = attribute(xml.attributes(), u"r");
                bool ok = false;
                const qint64 n = r.toLongLong(&ok);
                rowIndex = ok && n > 0 ? n - 1 : rowIndex + 1;
                column = -1;
                inRow = true;
            } else if (name == u"c" && inRow) {
                const QXmlStreamAttributes a = xml.attributes();
                const QStringView ref = attribute(a, u"r");
                if (!ref.isEmpty()) {
                    const auto cell = parseCellRef(ref);
                    if (!cell || cell->column < 0) {
                        result.error = QStringLiteral("the sheet names a cell \"%1\" that a sheet cannot have")
                                           .arg(ref.toString());
                        return result;
                    }
                    column = cell->column;
                } else {
                    ++column;
                }
                const QStringView type = attribute(a, u"t");
                const int style = attribute(a, u"s").toInt();
                QByteArray cell = readCell(pass, type, style, formatter, &value);
                if (pass.failed())
                    break;
                if (!rows.setCell(column, std::move(cell)))
                    break;
            }
        }
        return endOfSheet(pass, rows, std::move(result));
    }

private:
    using Relations = std::map<QString, std::pair<QString, QString>>; // id: (type, part)

    std::optional<Relations> relationships(ZipArchive &zip, const QString &part, const QString &base, QString *error)
    {
        Relations out;
        XmlPass pass(zip, part);
        if (!pass.open(error))
            return std::nullopt;
        while (pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (!xml.isStartElement() || xml.name() != u"Relationship")
                continue;
            const QXmlStreamAttributes a = xml.attributes();
            if (attribute(a, u"TargetMode") == u"External")
                continue;
            out[attribute(a, u"Id").toString()] = {attribute(a, u"Type").toString(),
                                                   resolvePart(base, attribute(a, u"Target").toString())};
        }
        if (pass.failed()) {
            *error = pass.error();
            return std::nullopt;
        }
        return out;
    }

    bool loadStyles(ZipArchive &zip, const QString &part, QString *error)
    {
        XmlPass pass(zip, part);
        if (!pass.open(error))
            return false;
        std::map<int, NumberKind> custom;
        bool inCellXfs = false;
        while (pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isEndElement() && xml.name() == u"cellXfs")
                inCellXfs = false;
            if (!xml.isStartElement())
                continue;
            const QStringView name = xml.name();
            if (name == u"numFmt") {
                const QXmlStreamAttributes a = xml.attributes();
                custom[attribute(a, u"numFmtId").toInt()] = classifyFormatCode(attribute(a, u"formatCode"));
            } else if (name == u"cellXfs") {
                inCellXfs = true;
            } else if (name == u"xf" && inCellXfs) {
                const int id = attribute(xml.attributes(), u"numFmtId").toInt();
                const auto it = custom.find(id);
                m_styles.push_back(it != custom.end() ? it->second : builtinFormatKind(id));
            }
        }
        if (pass.failed()) {
            *error = pass.error();
            return false;
        }
        return true;
    }

    bool loadSharedStrings(ZipArchive &zip, const QString &part, QString *error, const ImportProgress &progress)
    {
        XmlPass pass(zip, part);
        if (!pass.open(error))
            return false;
        m_offsets.push_back(0);
        qint64 count = 0;
        while (pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (!xml.isStartElement())
                continue;
            if (xml.name() == u"sst") {
                const qint64 unique = attribute(xml.attributes(), u"uniqueCount").toLongLong();
                if (unique > 0)
                    m_offsets.reserve(size_t(std::min<qint64>(unique, 1 << 24)) + 1);
            } else if (xml.name() == u"si") {
                m_text.append(richText(pass));
                if (pass.failed())
                    break;
                if (m_text.size() > Workbook::kMaxSharedStringBytes) {
                    *error = QStringLiteral("its shared strings exceed %1 MB")
                                 .arg(Workbook::kMaxSharedStringBytes >> 20);
                    return false;
                }
                m_offsets.push_back(quint32(m_text.size()));
                if (progress && ++count % (kProgressEveryRows * 4) == 0
                    && !progress(pass.expanded(), std::max(pass.declared(), pass.expanded()))) {
                    error->clear();
                    return false;
                }
            }
        }
        if (pass.failed()) {
            *error = pass.error();
            return false;
        }
        return true;
    }

    // The text of an <si> or <is> element in the system charset: its <t>
    // elements, those of phonetic runs left out.
    static QByteArray richText(XmlPass &pass)
    {
        QByteArray text;
        int depth = 1;
        bool inT = false;
        int phonetic = 0;
        while (depth > 0 && pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isStartElement()) {
                ++depth;
                if (xml.name() == u"rPh")
                    ++phonetic;
                else if (xml.name() == u"t")
                    inT = true;
            } else if (xml.isEndElement()) {
                --depth;
                if (xml.name() == u"rPh")
                    --phonetic;
                else if (xml.name() == u"t")
                    inT = false;
            } else if (xml.isCharacters() && inT && phonetic == 0) {
                text += toSystem(xml.text());
            }
        }
        return text;
    }

    QByteArrayView sharedString(qint64 index) const
    {
        if (index < 0 || index + 1 >= qint64(m_offsets.size()))
            return {};
        const quint32 from = m_offsets[size_t(index)];
        return QByteArrayView(m_text.constData() + from, qsizetype(m_offsets[size_t(index) + 1] - from));
    }

    // One <c> element: its value as shown.
    QByteArray readCell(XmlPass &pass, QStringView type, int style, const ValueFormatter &formatter, QString *v)
    {
        v->clear();
        QByteArray inline_;
        bool hasInline = false;
        int depth = 1;
        while (depth > 0 && pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isStartElement()) {
                if (xml.name() == u"v") {
                    *v = pass.elementText();
                } else if (xml.name() == u"is") {
                    inline_ = richText(pass);
                    hasInline = true;
                } else {
                    pass.skipElement(); // <f> and extensions
                }
            } else if (xml.isEndElement()) {
                --depth;
            }
        }
        if (hasInline)
            return inline_;
        if (v->isEmpty())
            return {};
        if (type == u"s") {
            bool ok = false;
            const qint64 index = v->toLongLong(&ok);
            return ok ? sharedString(index).toByteArray() : QByteArray();
        }
        if (type == u"str" || type == u"inlineStr" || type == u"e")
            return toSystem(*v);
        if (type == u"b")
            return *v == u"1" || *v == u"true" ? QByteArrayLiteral("TRUE") : QByteArrayLiteral("FALSE");
        if (type == u"d") {
            const QDateTime when = QDateTime::fromString(*v, Qt::ISODate);
            if (when.isValid())
                return when.time() == QTime(0, 0) ? formatter.date(when.date())
                                                  : formatter.dateTime(when.date(), when.time());
            const QDate day = QDate::fromString(*v, Qt::ISODate);
            return day.isValid() ? formatter.date(day) : toSystem(*v);
        }
        const NumberKind kind = style >= 0 && size_t(style) < m_styles.size() ? m_styles[size_t(style)]
                                                                            : NumberKind::General;
        bool ok = false;
        if (kind == NumberKind::General) {
            QByteArray n = ValueFormatter::numberText(*v, &ok);
            return ok ? n : toSystem(*v);
        }
        const double d = v->toDouble(&ok);
        return ok ? formatter.formatted(d, kind, m_date1904) : toSystem(*v);
    }

    // The merged ranges of each `<mergeCell ref="A1:B2"/>` of a sheet.
    // Nothing, with `error` set or `stopped`, when the part cannot be read
    // or the progress callback stopped the scan.
    std::optional<std::vector<Merge>> scanMerges(ZipArchive &zip, const QString &part, QString *error,
                                                 const ImportProgress &progress, bool *stopped)
    {
        PartDevice device(zip, part);
        if (!device.openPart(error))
            return std::nullopt;
        std::vector<Merge> merges;
        QByteArray window;
        bool dropped = false;
        for (;;) {
            device.itemEnded();
            const QByteArray chunk = device.read(1 << 20);
            if (chunk.isEmpty())
                break;
            if (progress && !progress(device.expanded() / 4, std::max(device.declared(), device.expanded()))) {
                *stopped = true;
                return std::nullopt;
            }
            window.append(chunk);
            qsizetype from = 0;
            for (;;) {
                const qsizetype at = window.indexOf("mergeCell ", from);
                if (at < 0)
                    break;
                const qsizetype end = window.indexOf('>', at);
                if (end < 0)
                    break;
                const QByteArray head = window.mid(at, end - at);
                from = end;
                if (!startsTag(window, at))
                    continue; // the words in a text
                const qsizetype r = head.indexOf(" ref=\"");
                if (r < 0)
                    continue;
                const qsizetype q = head.indexOf('"', r + 6);
                const QString ref = QString::fromLatin1(head.mid(r + 6, q < 0 ? -1 : q - r - 6));
                const qsizetype colon = ref.indexOf(u':');
                const auto a = parseCellRef(QStringView(ref).left(colon < 0 ? ref.size() : colon));
                const auto b = colon < 0 ? a : parseCellRef(QStringView(ref).mid(colon + 1));
                if (!a || !b || a->row < 0 || b->row < 0 || a->column < 0 || b->column < 0)
                    continue;
                if (merges.size() >= size_t(Workbook::kMaxMergedRanges)) {
                    dropped = true;
                    continue;
                }
                merges.push_back({std::min(a->row, b->row), std::min(a->column, b->column),
                                  std::max(a->row, b->row), std::max(a->column, b->column), {}});
            }
            const qsizetype lastOpen = window.lastIndexOf('<');
            window = lastOpen >= from ? window.mid(lastOpen) : QByteArray();
            if (window.size() > Workbook::kMaxXmlItemBytes) {
                *error = QStringLiteral("the part \"%1\" holds one XML item of more than %2 MB")
                             .arg(part)
                             .arg(Workbook::kMaxXmlItemBytes >> 20);
                return std::nullopt;
            }
        }
        if (!device.failure().isEmpty()) {
            *error = device.failure();
            return std::nullopt;
        }
        if (dropped)
            noteDroppedMerges();
        return merges;
    }

    QSet<QString> m_names;
    QStringList m_sheetParts;
    std::map<int, std::vector<Merge>> m_merges;
    bool m_date1904 = false;
    std::vector<NumberKind> m_styles;
    QByteArray m_text;
    std::vector<quint32> m_offsets;
};

class OdsReader : public Workbook::Reader
{
public:
    bool load(ZipArchive &zip, QString *error)
    {
        const QStringList &names = zip.names();
        // An encrypted document keeps the parts it protects under
        // <manifest:encryption-data>.
        if (names.contains(QStringLiteral("META-INF/manifest.xml"))) {
            XmlPass pass(zip, QStringLiteral("META-INF/manifest.xml"));
            if (!pass.open(error))
                return false;
            while (pass.next()) {
                if (pass.xml().isStartElement() && pass.xml().name() == u"encryption-data") {
                    *error = QStringLiteral("it is protected by a password");
                    return false;
                }
            }
            if (pass.failed()) {
                *error = pass.error();
                return false;
            }
        }
        if (!names.contains(QStringLiteral("content.xml"))) {
            *error = QStringLiteral("it is not a workbook (the document has no content part)");
            return false;
        }
        // The sheet names, by a scan of the bytes: cheaper than parsing a
        // large document just for its table names.
        PartDevice device(zip, QStringLiteral("content.xml"));
        if (!device.openPart(error))
            return false;
        QByteArray window;
        const QByteArray tag = "<table:table ";
        for (;;) {
            device.itemEnded();
            const QByteArray chunk = device.read(1 << 20);
            if (chunk.isEmpty())
                break;
            window.append(chunk);
            qsizetype from = 0;
            for (;;) {
                const qsizetype at = window.indexOf(tag, from);
                if (at < 0)
                    break;
                const qsizetype end = window.indexOf('>', at);
                if (end < 0)
                    break;
                const QByteArray head = window.mid(at, end - at);
                const qsizetype n = head.indexOf(" table:name=\"");
                if (n >= 0) {
                    const qsizetype q = head.indexOf('"', n + 13);
                    sheets.append(unescapeXml(QString::fromUtf8(head.mid(n + 13, q < 0 ? -1 : q - n - 13))));
                } else {
                    sheets.append(QStringLiteral("Sheet%1").arg(sheets.size() + 1));
                }
                from = end;
            }
            // Keep a tail that may hold the start of a tag.
            const qsizetype lastOpen = window.lastIndexOf('<');
            window = lastOpen >= from ? window.mid(lastOpen) : QByteArray();
            if (window.size() > Workbook::kMaxXmlItemBytes) {
                *error = QStringLiteral("the part \"content.xml\" holds one XML item of more than %1 MB")
                             .arg(Workbook::kMaxXmlItemBytes >> 20);
                return false;
            }
        }
        if (!device.failure().isEmpty()) {
            *error = device.failure();
            return false;
        }
        if (sheets.isEmpty()) {
            *error = QStringLiteral("the document holds no sheet (is it a spreadsheet?)");
            return false;
        }
        return true;
    }

    SheetReadResult read(int sheet, RowAssembler &rows, const ImportProgress &progress) override
    {
        SheetReadResult result;
        QString error;
        auto zip = openZip(path, &error);
        if (!zip) {
            result.error = error;
            return result;
        }
        XmlPass pass(*zip, QStringLiteral("content.xml"));
        if (!pass.open(&error)) {
            result.error = error;
            return result;
        }
        ValueFormatter formatter;
        int table = -1;
        bool inTable = false;
        int depth = 0; // element depth inside the table
        qint64 row = 0;
        qint64 count = 0;
        while (pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (!inTable) {
                if (xml.isStartElement() && xml.name() == u"table" && xml.namespaceUri() == kOdsTable) {
                    if (++table == sheet) {
                        inTable = true;
                        depth = 0;
                    } else {
                        pass.skipElement();
                    }
                }
                continue;
            }
            if (xml.isEndElement()) {
                if (depth-- == 0)
                    break; // the end of the table
                continue;
            }
            if (!xml.isStartElement())
                continue;
            ++depth;
            if (xml.namespaceUri() != kOdsTable)
                continue;
            if (xml.name() == u"table-row") {
                const qint64 repeat = std::max<qint64>(
                    1, attribute(xml.attributes(), u"number-rows-repeated").toLongLong());
                if (!readRow(pass, rows, row, formatter))
                    break;
                --depth;
                if (rows.rowHasCells()) {
                    if (!rows.endRow(row, repeat))
                        break;
                } else if (!rows.emptyRows(row, std::min<qint64>(repeat, kMaxSheetRows))) {
                    break;
                }
                row = std::min<qint64>(row + repeat, kMaxSheetRows);
                if (progress && ++count % kProgressEveryRows == 0
                    && !progress(pass.expanded(), std::max(pass.declared(), pass.expanded()))) {
                    result.stopped = true;
                    return result;
                }
                if (rows.pastRange())
                    break;
            }
        }
        return endOfSheet(pass, rows, std::move(result));
    }

private:
    // The cells of one <table:table-row>, up to its end.
    bool readRow(XmlPass &pass, RowAssembler &rows, qint64 row, const ValueFormatter &formatter)
    {
        qint64 column = 0;
        int depth = 1;
        while (depth > 0 && pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isEndElement()) {
                --depth;
                continue;
            }
            if (!xml.isStartElement())
                continue;
            const bool cell = xml.namespaceUri() == kOdsTable
                              && (xml.name() == u"table-cell" || xml.name() == u"covered-table-cell");
            if (!cell) {
                pass.skipElement();
                continue;
            }
            const bool covered = xml.name() == u"covered-table-cell";
            const QXmlStreamAttributes a = xml.attributes();
            const qint64 repeat
                = std::max<qint64>(1, a.value(kOdsTable, QLatin1String("number-columns-repeated")).toLongLong());
            const int spanColumns = std::max(1, a.value(kOdsTable, QLatin1String("number-columns-spanned")).toInt());
            const int spanRows = std::max(1, a.value(kOdsTable, QLatin1String("number-rows-spanned")).toInt());
            QByteArray value = cellValue(pass, a, formatter);
            if (pass.failed())
                return false;
            if (!covered && !value.isEmpty()) {
                if (column + repeat > kMaxSheetColumns) {
                    rows.setCell(kMaxSheetColumns, {});
                    return false;
                }
                for (qint64 i = 0; i < repeat; ++i) {
                    if (!rows.setCell(int(column + i), value))
                        return false;
                }
                if (repeat == 1 && (spanColumns > 1 || spanRows > 1))
                    rows.addMerge({int(row), int(column), int(std::min<qint64>(row + spanRows - 1, kMaxSheetRows - 1)),
                                   int(std::min<qint64>(column + spanColumns - 1, kMaxSheetColumns - 1)),
                                   {}});
            }
            column = std::min<qint64>(column + repeat, kMaxSheetColumns);
        }
        return !pass.failed();
    }

    // A cell's value as shown; the cell's element is read to its end.
    QByteArray cellValue(XmlPass &pass, const QXmlStreamAttributes &a, const ValueFormatter &formatter)
    {
        const QStringView type = a.value(kOdsOffice, QLatin1String("value-type"));
        QString shown;
        int paragraphs = 0;
        int depth = 1;
        while (depth > 0 && pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isEndElement()) {
                --depth;
                continue;
            }
            if (!xml.isStartElement())
                continue;
            if (xml.namespaceUri() == kOdsText && xml.name() == u"p") {
                if (paragraphs++ > 0)
                    shown += u'\n';
                shown += paragraphText(pass);
            } else {
                pass.skipElement(); // annotations and drawings
            }
        }
        bool ok = false;
        if (type == u"float" || type == u"currency") {
            const double d = a.value(kOdsOffice, QLatin1String("value")).toDouble(&ok);
            if (ok)
                return ValueFormatter::number(d);
        } else if (type == u"percentage") {
            const double d = a.value(kOdsOffice, QLatin1String("value")).toDouble(&ok);
            if (ok)
                return ValueFormatter::number(d * 100.0) + '%';
        } else if (type == u"date") {
            const QStringView text = a.value(kOdsOffice, QLatin1String("date-value"));
            const QDateTime when = QDateTime::fromString(text.toString(), Qt::ISODate);
            if (when.isValid() && text.contains(u'T') && when.time() != QTime(0, 0))
                return formatter.dateTime(when.date(), when.time());
            const QDate day = QDate::fromString(text.left(10).toString(), Qt::ISODate);
            if (day.isValid())
                return formatter.date(day);
        } else if (type == u"time") {
            // An ISO 8601 duration: PT13H30M00S.
            const QString text = a.value(kOdsOffice, QLatin1String("time-value")).toString();
            static const QRegularExpression duration(
                QStringLiteral("^-?P(?:\\d+D)?T(\\d+)H(\\d+)M(\\d+(?:[.,]\\d+)?)S$"));
            const auto m = duration.match(text);
            if (m.hasMatch()) {
                const int h = m.captured(1).toInt(), mi = m.captured(2).toInt();
                const double s = m.captured(3).replace(u',', u'.').toDouble();
                const QTime t(h % 24, mi % 60, int(s) % 60);
                if (t.isValid())
                    return formatter.time(t);
            }
        } else if (type == u"boolean") {
            const QStringView b = a.value(kOdsOffice, QLatin1String("boolean-value"));
            return b == u"true" || b == u"1" ? QByteArrayLiteral("TRUE") : QByteArrayLiteral("FALSE");
        }
        return toSystem(shown);
    }

    // The text of a <text:p>: spans and links flattened, <text:s> as
    // blanks, tabs and line breaks as such; notes left out.
    static QString paragraphText(XmlPass &pass)
    {
        QString text;
        int depth = 1;
        while (depth > 0 && pass.next()) {
            QXmlStreamReader &xml = pass.xml();
            if (xml.isCharacters()) {
                text += xml.text();
            } else if (xml.isEndElement()) {
                --depth;
            } else if (xml.isStartElement()) {
                const bool textNs = xml.namespaceUri() == kOdsText;
                if (textNs && xml.name() == u"s") {
                    const int n = std::clamp(xml.attributes().value(kOdsText, QLatin1String("c")).toInt(), 1, 1024);
                    text += QString(n, u' ');
                    pass.skipElement();
                } else if (textNs && xml.name() == u"tab") {
                    text += u'\t';
                    pass.skipElement();
                } else if (textNs && xml.name() == u"line-break") {
                    text += u'\n';
                    pass.skipElement();
                } else if ((textNs && (xml.name() == u"note" || xml.name() == u"ruby-text"))
                           || xml.namespaceUri() == kOdsOffice) {
                    pass.skipElement();
                } else {
                    ++depth;
                }
            }
        }
        return text;
    }
};

QString freexlErrorText(int code)
{
    switch (code) {
    case FREEXL_INSUFFICIENT_MEMORY: return QStringLiteral("not enough memory to read it");
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE:
    case FREEXL_CFBF_INVALID_SECTOR_SIZE:
    case FREEXL_CFBF_EMPTY_FAT_CHAIN:
    case FREEXL_CFBF_ILLEGAL_FAT_ENTRY:
    case FREEXL_CFBF_READ_ERROR:
    case FREEXL_CFBF_SEEK_ERROR:
    case FREEXL_INVALID_MINI_STREAM:
    case FREEXL_CFBF_ILLEGAL_MINI_FAT_ENTRY: return QStringLiteral("its compound file structure is damaged");
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND:
        return QStringLiteral("it is not a workbook (the compound file holds no workbook stream)");
    case FREEXL_CRAFTED_FILE: return QStringLiteral("it is damaged (it looks crafted to harm a reader)");
    case FREEXL_UNSUPPORTED_CHARSET:
    case FREEXL_INVALID_CHARACTER: return QStringLiteral("its text is in a character set that cannot be read");
    default: return QStringLiteral("it is damaged or not a workbook (FreeXL error %1)").arg(code);
    }
}

class XlsReader : public Workbook::Reader
{
public:
    ~XlsReader() override
    {
        if (m_handle)
            freexl_close(m_handle);
    }

    bool load(QString *error)
    {
        if (QFileInfo(path).size() > kMaxXlsBytes) {
            *error = QStringLiteral("an .xls workbook is read whole; this one is larger than %1 MB (save it as .xlsx)")
                         .arg(kMaxXlsBytes >> 20);
            return false;
        }
        const QByteArray name = QFile::encodeName(path);
        const int rc = freexl_open(name.constData(), &m_handle);
        if (rc != FREEXL_OK) {
            *error = freexlErrorText(rc);
            return false;
        }
        unsigned int info = 0;
        if (freexl_get_info(m_handle, FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK && info == FREEXL_BIFF_OBFUSCATED) {
            *error = QStringLiteral("it is protected by a password");
            return false;
        }
        unsigned int count = 0;
        freexl_get_info(m_handle, FREEXL_BIFF_SHEET_COUNT, &count);
        for (unsigned int i = 0; i < count && i < 65535; ++i) {
            const char *sheetName = nullptr;
            if (freexl_get_worksheet_name(m_handle, quint16(i), &sheetName) != FREEXL_OK)
                break;
            sheets.append(QString::fromUtf8(sheetName ? sheetName : ""));
        }
        if (sheets.isEmpty()) {
            *error = QStringLiteral("the workbook holds no worksheet");
            return false;
        }
        return true;
    }

    SheetReadResult read(int sheet, RowAssembler &rows, const ImportProgress &progress) override
    {
        SheetReadResult result;
        if (freexl_select_active_worksheet(m_handle, quint16(sheet)) != FREEXL_OK) {
            result.error = QStringLiteral("the sheet cannot be read");
            return result;
        }
        unsigned int rowCount = 0;
        unsigned short columnCount = 0;
        if (freexl_worksheet_dimensions(m_handle, &rowCount, &columnCount) != FREEXL_OK) {
            result.error = QStringLiteral("the sheet cannot be read");
            return result;
        }
        const ValueFormatter formatter;
        for (unsigned int r = 0; r < rowCount; ++r) {
            for (unsigned short c = 0; c < columnCount; ++c) {
                FreeXL_CellValue value;
                if (freexl_get_cell_value(m_handle, r, c, &value) != FREEXL_OK)
                    continue;
                if (!rows.setCell(c, cellText(value, formatter))) {
                    result.error = rows.error();
                    return result;
                }
            }
            if (!rows.endRow(r))
                break;
            if (progress && r % kProgressEveryRows == 0 && !progress(r, rowCount)) {
                result.stopped = true;
                return result;
            }
            if (rows.pastRange())
                break;
        }
        if (!rows.error().isEmpty()) {
            result.error = rows.error();
            return result;
        }
        if (rows.stoppedBySink()) {
            result.stopped = true;
            return result;
        }
        result.ok = true;
        return result;
    }

private:
    static QByteArray cellText(const FreeXL_CellValue &value, const ValueFormatter &formatter)
    {
        switch (value.type) {
        case FREEXL_CELL_INT: return QByteArray::number(value.value.int_value);
        case FREEXL_CELL_DOUBLE: return ValueFormatter::number(value.value.double_value);
        case FREEXL_CELL_TEXT:
        case FREEXL_CELL_SST_TEXT: return toSystem(QString::fromUtf8(value.value.text_value));
        case FREEXL_CELL_DATE: {
            const QDate d = QDate::fromString(QString::fromLatin1(value.value.text_value), Qt::ISODate);
            return d.isValid() ? formatter.date(d) : QByteArray(value.value.text_value);
        }
        case FREEXL_CELL_DATETIME: {
            const QDateTime t = QDateTime::fromString(QString::fromLatin1(value.value.text_value),
                                                      QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            if (!t.isValid())
                return QByteArray(value.value.text_value);
            return t.time() == QTime(0, 0) ? formatter.date(t.date()) : formatter.dateTime(t.date(), t.time());
        }
        case FREEXL_CELL_TIME: {
            const QTime t = QTime::fromString(QString::fromLatin1(value.value.text_value), QStringLiteral("HH:mm:ss"));
            return t.isValid() ? formatter.time(t) : QByteArray(value.value.text_value);
        }
        default: return {};
        }
    }

    const void *m_handle = nullptr;
};

// Whether an OLE compound file holds an encrypted Office Open XML package:
// a directory entry named "EncryptedPackage". Directory entries are 128
// bytes long and start at multiples of 128 from the file's start.
bool holdsEncryptedPackage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    static const QByteArray name = [] {
        QByteArray n;
        for (char c : QByteArrayView("EncryptedPackage")) {
            n.append(c);
            n.append('\0');
        }
        return n + QByteArray(2, '\0');
    }();
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(1 << 20); // a multiple of 128
        for (qsizetype at = 0; at + name.size() <= chunk.size(); at += 128) {
            if (std::memcmp(chunk.constData() + at, name.constData(), size_t(name.size())) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

// ---- the workbook --------------------------------------------------------------

Workbook::Workbook(std::unique_ptr<Reader> reader) : m_reader(std::move(reader)) {}
Workbook::~Workbook() = default;
Workbook::Workbook(Workbook &&) noexcept = default;
Workbook &Workbook::operator=(Workbook &&) noexcept = default;

std::optional<Workbook> Workbook::open(const QString &path, QString *error, const ImportProgress &progress)
{
    QString why;
    auto failWith = [&](const QString &reason) {
        if (error)
            *error = reason.isEmpty() ? QString() : QStringLiteral("\"%1\" cannot be imported: %2").arg(path, reason);
        return std::nullopt;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(file.errorString());
    if (!QFileInfo(path).isFile())
        return failWith(QStringLiteral("it is not a file"));
    const QByteArray head = file.read(8);
    file.close();
    static const QByteArray ole("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    if (head == ole) {
        if (holdsEncryptedPackage(path))
            return failWith(QStringLiteral("it is protected by a password (save it without one, then import it)"));
        auto reader = std::make_unique<XlsReader>();
        reader->path = path;
        reader->format = SpreadsheetFormat::Xls;
        if (!reader->load(&why))
            return failWith(why.endsWith(u"password") ? why + QStringLiteral(" (save it without one, then import it)")
                                                      : why);
        reader->notes.append(QStringLiteral("Merged cells of an .xls workbook keep their value in the top-left cell "
                                            "only."));
        return Workbook(std::move(reader));
    }
    if (!head.startsWith("PK\x03\x04") && !head.startsWith("PK\x05\x06"))
        return failWith(QStringLiteral("it is not a workbook (.xlsx, .ods or .xls)"));
    auto zip = openZip(path, &why);
    if (!zip)
        return failWith(why);
    const QStringList &names = zip->names();
    if (names.contains(QStringLiteral("mimetype")) || names.contains(QStringLiteral("content.xml"))) {
        if (names.contains(QStringLiteral("mimetype"))) {
            PartDevice mimetype(*zip, QStringLiteral("mimetype"));
            if (mimetype.openPart(&why)) {
                const QByteArray type = mimetype.read(200).trimmed();
                if (!type.startsWith("application/vnd.oasis.opendocument.spreadsheet"))
                    return failWith(QStringLiteral("it is an OpenDocument file of the type \"%1\", not a spreadsheet")
                                        .arg(QString::fromLatin1(type)));
            }
        }
        auto reader = std::make_unique<OdsReader>();
        reader->path = path;
        reader->format = SpreadsheetFormat::Ods;
        if (!reader->load(*zip, &why))
            return failWith(why);
        return Workbook(std::move(reader));
    }
    auto reader = std::make_unique<XlsxReader>();
    reader->path = path;
    reader->format = SpreadsheetFormat::Xlsx;
    if (!reader->load(*zip, &why, progress))
        return failWith(why);
    return Workbook(std::move(reader));
}

SpreadsheetFormat Workbook::format() const
{
    return m_reader->format;
}

QString Workbook::path() const
{
    return m_reader->path;
}

QStringList Workbook::sheetNames() const
{
    return m_reader->sheets;
}

int Workbook::sheetIndex(const QString &name) const
{
    const int exact = int(m_reader->sheets.indexOf(name));
    if (exact >= 0)
        return exact;
    for (int i = 0; i < m_reader->sheets.size(); ++i) {
        if (m_reader->sheets[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

SheetReadResult Workbook::readRows(int sheet, const CellRange &range, const SheetRowSink &sink,
                                   const ImportProgress &progress) const
{
    if (sheet < 0 || sheet >= m_reader->sheets.size()) {
        SheetReadResult result;
        result.error = QStringLiteral("the workbook has no sheet %1").arg(sheet + 1);
        return result;
    }
    RowAssembler rows(range, sink);
    return m_reader->read(sheet, rows, progress);
}

std::vector<QStringList> Workbook::preview(int sheet, const CellRange &range, int maxRows, QString *error) const
{
    std::vector<QStringList> rows;
    const SheetRowSink sink = [&](qint64, std::span<const QByteArray> cells) {
        QStringList row;
        for (const QByteArray &c : cells)
            row.append(SystemCharset::toUnicode(c));
        rows.push_back(row);
        return qsizetype(rows.size()) < maxRows;
    };
    const SheetReadResult r = readRows(sheet, range, sink);
    if (error)
        *error = r.ok || r.stopped ? QString() : r.error;
    return rows;
}

// ---- ranges --------------------------------------------------------------------

QString spreadsheetColumnName(int column)
{
    QString name;
    for (int n = column + 1; n > 0; n = (n - 1) / 26)
        name.prepend(QChar(u'A' + (n - 1) % 26));
    return name;
}

QString CellRange::toString() const
{
    const bool wholeColumns = firstColumn == 0 && lastColumn < 0;
    const bool wholeRows = firstRow == 0 && lastRow < 0;
    if (wholeColumns && wholeRows)
        return {};
    if (wholeColumns)
        return QStringLiteral("%1:%2").arg(firstRow + 1).arg(lastRow < 0 ? QString() : QString::number(lastRow + 1));
    auto corner = [](int row, int column) {
        return (column < 0 ? QString() : spreadsheetColumnName(column))
               + (row < 0 ? QString() : QString::number(row + 1));
    };
    if (wholeRows)
        return corner(-1, firstColumn) + u':' + corner(-1, lastColumn);
    return corner(firstRow, firstColumn) + u':'
           + (lastRow < 0 && lastColumn < 0 ? QString() : corner(lastRow, lastColumn));
}

std::optional<CellRange> parseCellRange(QStringView text)
{
    text = text.trimmed();
    CellRange range;
    if (text.isEmpty())
        return range;
    const qsizetype colon = text.indexOf(u':');
    const QStringView left = text.left(colon < 0 ? text.size() : colon).trimmed();
    const QStringView right = colon < 0 ? left : text.mid(colon + 1).trimmed();
    const auto from = parseCellRef(left.startsWith(u'$') ? left.mid(1) : left);
    if (!from)
        return std::nullopt;
    range.firstRow = std::max(from->row, 0);
    range.firstColumn = std::max(from->column, 0);
    if (!right.isEmpty()) {
        const auto to = parseCellRef(right.startsWith(u'$') ? right.mid(1) : right);
        // Both ends name rows, columns, or cells alike ("A:C", "2:9",
        // "A2:C9"), or a cell and a column ("B2:C": rows to the end).
        const bool cellToColumn = from->row >= 0 && from->column >= 0 && to && to->row < 0;
        if (!to || ((to->row < 0) != (from->row < 0) && !cellToColumn) || (to->column < 0) != (from->column < 0))
            return std::nullopt;
        range.lastRow = to->row;
        range.lastColumn = to->column;
        if (to->row >= 0 && to->row < from->row)
            std::swap(range.firstRow, range.lastRow);
        if (to->column >= 0 && to->column < from->column)
            std::swap(range.firstColumn, range.lastColumn);
    }
    return range;
}

bool looksLikeSpreadsheet(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(8);
    return head.startsWith("PK\x03\x04") || head == QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
}

// ---- import --------------------------------------------------------------------

namespace {

// Finds the cells the list file cannot keep (the list delimiter, line
// breaks) and replaces their bytes when asked to.
class CellGuard
{
public:
    explicit CellGuard(const UnstorableFields &rule) : m_rule(rule) {}

    [[nodiscard]] bool unstorable(QByteArrayView cell) const
    {
        for (char c : cell) {
            if (c == m_rule.listDelimiter || c == '\r' || c == '\n')
                return true;
        }
        return false;
    }
    [[nodiscard]] bool replacing() const { return m_rule.replacement.has_value(); }

    // The cell with the replacements made; valid until the next call.
    QByteArrayView fixed(QByteArrayView cell)
    {
        m_buffer.clear();
        for (qsizetype i = 0; i < cell.size(); ++i) {
            const char c = cell[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < cell.size() && cell[i + 1] == '\n')
                    ++i;
                m_buffer.append(' ');
            } else {
                m_buffer.append(c == m_rule.listDelimiter ? *m_rule.replacement : c);
            }
        }
        return m_buffer;
    }

private:
    const UnstorableFields &m_rule;
    QByteArray m_buffer;
};

QString tooWideRowText(qint64 sheetRow, size_t cells)
{
    return QStringLiteral("row %1 of the sheet has cells in %2 columns; a list takes at most %3 (choose a narrower "
                          "cell range)")
        .arg(sheetRow + 1)
        .arg(cells)
        .arg(kMaxImportColumns);
}

void finishResult(SheetImportResult &result, const SheetChoices &choices, const UnstorableFields &rule,
                  const QStringList &bookNotes)
{
    if (!result.ok && !result.stopped && result.error.isEmpty() && result.unstorableRows > 0)
        result.error = QStringLiteral("%1 row(s) hold the list delimiter \"%2\" or a line break in a cell, which the "
                                      "list cannot store (the first in row %3 of the sheet)")
                           .arg(result.unstorableRows)
                           .arg(delimiterName(QChar::fromLatin1(rule.listDelimiter)))
                           .arg(result.firstUnstorableLine);
    if (choices.titles && !result.titles.isEmpty())
        result.notes.append(QStringLiteral("The first row held the column titles (%1); it was not imported.")
                                .arg(result.titles.join(QStringLiteral(", "))));
    result.notes += bookNotes;
}

QStringList titlesOf(std::span<const QByteArray> cells)
{
    QStringList titles;
    for (const QByteArray &c : cells)
        titles.append(SystemCharset::toUnicode(c).trimmed());
    return titles;
}

} // namespace

QStringList Workbook::notes() const
{
    return m_reader->notes;
}

SheetImportResult importSpreadsheet(const Workbook &book, const SheetChoices &choices, ListTable &table,
                                    const UnstorableFields &unstorable, const ImportProgress &progress)
{
    SheetImportResult result;
    CellGuard guard(unstorable);
    ListTable backup;
    backup.assign(table);
    table.beginUpdate();
    const bool blank = isBlankTable(table);
    const int firstRow = blank ? 0 : table.rowCount();
    if (blank) {
        for (int c = 0; c < table.columnCount(); ++c)
            table.setCellBytes(0, c, {});
    }
    int row = firstRow;
    bool titlesPending = choices.titles;
    int titleWidth = 0;
    bool failed = false;
    constexpr int kMaxRows = std::numeric_limits<int>::max() - 1;
    const SheetRowSink sink = [&](qint64 sheetRow, std::span<const QByteArray> cells) {
        if (titlesPending) {
            titlesPending = false;
            result.titles = titlesOf(cells);
            titleWidth = int(std::min(cells.size(), size_t(kMaxImportColumns)));
            return true;
        }
        if (cells.size() > size_t(kMaxImportColumns)) {
            result.error = tooWideRowText(sheetRow, cells.size());
            failed = true;
            return false;
        }
        if (row >= kMaxRows) {
            result.error = QStringLiteral("a list holds at most %1 records").arg(kMaxRows);
            failed = true;
            return false;
        }
        bool bad = false;
        for (const QByteArray &c : cells) {
            if (guard.unstorable(c)) {
                bad = true;
                break;
            }
        }
        if (bad && result.unstorableRows++ == 0)
            result.firstUnstorableLine = sheetRow + 1;
        if (result.unstorableRows > 0 && !guard.replacing())
            return true; // refused after counting them all: nothing more to write
        if (row >= table.rowCount())
            table.setRowCount(int(std::min<qint64>(std::max<qint64>(qint64(row) + 1, qint64(table.rowCount()) * 3 / 2),
                                                   kMaxRows)));
        if (int(cells.size()) > table.columnCount())
            table.setColumnCount(int(cells.size()));
        for (size_t c = 0; c < cells.size(); ++c) {
            QByteArrayView cell = cells[c];
            if (cell.isEmpty())
                continue;
            if (bad && guard.unstorable(cell))
                cell = guard.fixed(cell);
            table.setCellBytes(row, int(c), cell);
        }
        ++row;
        return true;
    };
    const SheetReadResult read = book.readRows(choices.sheet, choices.range, sink, progress);
    result.stopped = read.stopped && !failed;
    if (!read.ok && !failed && !read.stopped)
        result.error = read.error;
    const bool commit = read.ok && !failed && (result.unstorableRows == 0 || guard.replacing());
    if (commit) {
        table.setRowCount(std::max(row, 1));
        if (titleWidth > table.columnCount())
            table.setColumnCount(titleWidth);
        result.ok = true;
        result.records = row - firstRow;
        result.firstRow = firstRow;
        result.columns = table.columnCount();
    } else {
        table.assign(backup);
    }
    table.endUpdate();
    finishResult(result, choices, unstorable, book.notes());
    return result;
}

SheetImportResult importSpreadsheetToFile(const Workbook &book, const SheetChoices &choices, const QString &path,
                                          const UnstorableFields &unstorable, const ImportProgress &progress)
{
    SheetImportResult result;
    CellGuard guard(unstorable);
    // Each line is as wide as the widest row. The first rows set the width;
    // when a later row is wider, the file is written again at that width.
    size_t width = 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        result = SheetImportResult();
        bool failed = false;
        bool widened = false;
        bool writeFailed = false;
        SheetReadResult read;
        QString error;
        const bool written = writeFileAtomicallyStreamed(
            path,
            [&](QIODevice &out) {
                QByteArray buffer;
                constexpr qsizetype kFlush = 1 << 20;
                buffer.reserve(kFlush + 4096);
                bool titlesPending = choices.titles;
                const SheetRowSink sink = [&](qint64 sheetRow, std::span<const QByteArray> cells) {
                    if (cells.size() > size_t(kMaxImportColumns)) {
                        if (titlesPending) {
                            result.titles = titlesOf(cells.first(size_t(kMaxImportColumns)));
                            titlesPending = false;
                            width = std::max(width, size_t(kMaxImportColumns));
                            return true;
                        }
                        result.error = tooWideRowText(sheetRow, cells.size());
                        failed = true;
                        return false;
                    }
                    if (cells.size() > width) {
                        if (result.records > 0)
                            widened = true; // lines already written are too narrow
                        width = cells.size();
                    }
                    if (titlesPending) {
                        titlesPending = false;
                        result.titles = titlesOf(cells);
                        return true;
                    }
                    bool bad = false;
                    for (const QByteArray &c : cells) {
                        if (guard.unstorable(c)) {
                            bad = true;
                            break;
                        }
                    }
                    if (bad && result.unstorableRows++ == 0)
                        result.firstUnstorableLine = sheetRow + 1;
                    ++result.records;
                    if ((result.unstorableRows > 0 && !guard.replacing()) || widened || writeFailed)
                        return true; // counted; nothing written
                    for (size_t c = 0; c < width; ++c) {
                        if (c > 0)
                            buffer.append(unstorable.listDelimiter);
                        if (c < cells.size()) {
                            QByteArrayView cell = cells[c];
                            if (bad && guard.unstorable(cell))
                                cell = guard.fixed(cell);
                            buffer.append(cell);
                        }
                    }
                    buffer.append("\r\n", 2);
                    if (buffer.size() >= kFlush) {
                        writeFailed = out.write(buffer) != buffer.size();
                        buffer.clear();
                    }
                    return true;
                };
                read = book.readRows(choices.sheet, choices.range, sink, progress);
                if (!read.ok || failed || widened || writeFailed || (result.unstorableRows > 0 && !guard.replacing()))
                    return false;
                if (result.records == 0)
                    buffer.append("\r\n", 2); // a list without records is one empty line
                return out.write(buffer) == buffer.size();
            },
            &error);
        if (widened && read.ok && !failed && attempt == 0)
            continue;
        result.stopped = read.stopped && !failed;
        if (written) {
            result.ok = true;
            result.columns = int(width);
        } else if (!failed && !read.ok && !read.stopped) {
            result.error = read.error;
        } else if (!failed && read.ok && (result.unstorableRows == 0 || guard.replacing())) {
            result.error = QStringLiteral("cannot write \"%1\": %2").arg(path, error);
        }
        if (!result.ok)
            result.records = 0;
        break;
    }
    finishResult(result, choices, unstorable, book.notes());
    return result;
}

} // namespace varnholt
