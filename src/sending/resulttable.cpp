#include "sending/resulttable.h"

#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QDir>

namespace varnholt {

namespace {

constexpr QByteArrayView kMagic = "varnholt-results 1";

QByteArray escapeCell(const QString &text)
{
    QByteArray bytes = SystemCharset::fromUnicode(text);
    if (!bytes.contains('\\') && !bytes.contains('\t') && !bytes.contains('\r') && !bytes.contains('\n'))
        return bytes;
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (char c : bytes) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

QString unescapeCell(QByteArrayView bytes)
{
    if (!bytes.contains('\\'))
        return SystemCharset::toUnicode(bytes);
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\\' && i + 1 < bytes.size()) {
            const char e = bytes[++i];
            c = e == 't' ? '\t' : e == 'r' ? '\r' : e == 'n' ? '\n' : e;
        }
        out += c;
    }
    return SystemCharset::toUnicode(out);
}

std::optional<int> parseCount(QByteArrayView text)
{
    bool ok = false;
    const int value = text.toByteArray().toInt(&ok);
    return ok && value >= 0 ? std::optional(value) : std::nullopt;
}

QByteArray rowsLine(int count)
{
    return "rows\t" + QByteArray::number(count) + "\r\n";
}

} // namespace

const QStringList &ResultTable::titles()
{
    static const QStringList t{QStringLiteral("email"), QStringLiteral("state"), QStringLiteral("result"),
                               QStringLiteral("code"), QStringLiteral("comment")};
    return t;
}

void ResultTable::initFrom(const ListTable &table, int emailColumn)
{
    m_rows.assign(size_t(std::max(table.rowCount(), 1)), ResultRow());
    for (int r = 0; r < table.rowCount(); ++r)
        m_rows[size_t(r)].address = table.cell(r, emailColumn);
}

void ResultTable::setRowCount(int rows)
{
    m_rows.resize(size_t(std::max(rows, 1)));
}

void ResultTable::removeRowSet(std::span<const int> sortedRows)
{
    size_t write = 0;
    size_t next = 0;
    for (size_t read = 0; read < m_rows.size(); ++read) {
        while (next < sortedRows.size() && sortedRows[next] < int(read))
            ++next;
        if (next < sortedRows.size() && sortedRows[next] == int(read))
            continue;
        if (write != read)
            m_rows[write] = std::move(m_rows[read]);
        ++write;
    }
    m_rows.resize(write);
    if (m_rows.empty())
        m_rows.resize(1);
}

int ResultTable::count(RowStatus status) const
{
    return int(std::count_if(m_rows.cbegin(), m_rows.cend(), [status](const ResultRow &r) { return r.status == status; }));
}

bool ResultTable::matches(const ListTable &table, int emailColumn) const
{
    if (table.rowCount() != rowCount())
        return false;
    for (int r = 0; r < rowCount(); ++r) {
        if (m_rows[size_t(r)].address != table.cell(r, emailColumn))
            return false;
    }
    return true;
}

QString ReplyCodeFromError(const QString &text)
{
    const qsizetype colon = text.indexOf(u':');
    const QString rest = text.mid(colon + 1).trimmed();
    const qsizetype blank = rest.indexOf(u' ');
    if (blank < 0 || blank > 3)
        return {};
    bool ok = false;
    const int code = rest.left(blank).toInt(&ok);
    return ok && code > 0 ? QString::number(code) : QString();
}

QStringList HeldBackCodes(const QString &codes)
{
    return SplitFields(u";", codes);
}

bool IsHeldBack(const ResultRow &row, const QStringList &heldBack)
{
    const QStringView code = trimBlanks(row.code);
    return std::any_of(heldBack.cbegin(), heldBack.cend(),
                       [code](const QString &entry) { return code.compare(entry, Qt::CaseInsensitive) == 0; });
}

ResultJournal::ResultJournal(const QString &path)
    : m_path(path)
{
}

ResultJournal::~ResultJournal() = default;

QString ResultJournal::pathForProject(const QString &projectFolder, const QString &projectName)
{
    return QDir(projectFolder).filePath(projectName + QStringLiteral(".results"));
}

QByteArray ResultJournal::encodeRow(int index, const ResultRow &row)
{
    return QByteArray::number(index) + '\t' + QByteArray::number(int(row.status)) + '\t' + escapeCell(row.address)
        + '\t' + escapeCell(row.state) + '\t' + escapeCell(row.result) + '\t' + escapeCell(row.code) + '\t'
        + escapeCell(row.comment) + "\r\n";
}

bool ResultJournal::writeSnapshot(const ResultTable &table, QString *error)
{
    m_file.close();
    const bool written = writeFileAtomicallyStreamed(
        m_path,
        [&table](QIODevice &out) {
            QByteArray block = kMagic.toByteArray() + "\r\n" + rowsLine(table.rowCount());
            for (int r = 0; r < table.rowCount(); ++r) {
                block += encodeRow(r, table.row(r));
                if (block.size() > (1 << 20)) {
                    if (out.write(block) != block.size())
                        return false;
                    block.clear();
                }
            }
            return out.write(block) == block.size();
        },
        error);
    return written && openForAppend(error);
}

bool ResultJournal::openForAppend(QString *error)
{
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

bool ResultJournal::appendRow(const ResultTable &table, int row, QString *error)
{
    if (row < 0 || row >= table.rowCount())
        return false;
    if (!m_file.isOpen() && !openForAppend(error))
        return false;
    const QByteArray line = encodeRow(row, table.row(row));
    if (m_file.write(line) != line.size()) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

std::optional<ResultTable> ResultJournal::load(const QString &path)
{
    const auto bytes = readFileBytes(path);
    if (!bytes || !bytes->startsWith(kMagic))
        return std::nullopt;
    // Only whole lines: a line the writer did not finish has no CR LF yet.
    const qsizetype complete = bytes->lastIndexOf('\n') + 1;
    ResultTable table;
    bool sawRows = false;
    bool first = true;
    forEachLine(QByteArrayView(*bytes).first(complete), [&](QByteArrayView line) {
        if (first) {
            first = false;
            return;
        }
        const QList<QByteArray> f = line.toByteArray().split('\t');
        if (f.size() == 2 && f[0] == "rows") {
            if (const auto n = parseCount(f[1])) {
                table.setRowCount(*n);
                sawRows = true;
            }
            return;
        }
        const auto index = parseCount(f[0]);
        const auto status = f.size() == 7 ? parseCount(f[1]) : std::nullopt;
        if (!index || !status || *status > 3 || *index >= table.rowCount())
            return;
        ResultRow &r = table.row(*index);
        r.status = RowStatus(*status);
        r.address = unescapeCell(f[2]);
        r.state = unescapeCell(f[3]);
        r.result = unescapeCell(f[4]);
        r.code = unescapeCell(f[5]);
        r.comment = unescapeCell(f[6]);
    });
    if (!sawRows)
        return std::nullopt;
    return table;
}

} // namespace varnholt
