#include "sending/resulttable.h"

#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace varnholt {

namespace {

constexpr QByteArrayView kMagic = "varnholt-results 1";

// Appends a cell in the system charset with tabs, line breaks and
// backslashes escaped.
void appendCell(QByteArray &out, QStringView text)
{
    const bool plain = std::none_of(text.begin(), text.end(), [](QChar c) {
        return c == u'\\' || c == u'\t' || c == u'\r' || c == u'\n';
    });
    if (plain) {
        out += SystemCharset::fromUnicode(text);
        return;
    }
    for (char c : SystemCharset::fromUnicode(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
}

// One record line: row, status and the five cells, tab-separated; a
// deferred row's retry follows.
void appendRecord(QByteArray &out, int index, RowStatus status, QStringView address,
                  const std::array<QStringView, 4> &cells, const RowRetry &retry)
{
    out += QByteArray::number(index);
    out += '\t';
    out += char('0' + int(status));
    out += '\t';
    appendCell(out, address);
    for (QStringView cell : cells) {
        out += '\t';
        appendCell(out, cell);
    }
    if (status == RowStatus::Deferred) {
        out += '\t';
        out += QByteArray::number(retry.at);
        out += '\t';
        out += QByteArray::number(retry.deferrals);
    }
    out += "\r\n";
}

void appendRecord(QByteArray &out, const ResultTable &table, int index)
{
    appendRecord(out, index, table.status(index), table.address(index),
                 {table.state(index), table.result(index), table.code(index), table.comment(index)},
                 table.retry(index).value_or(RowRetry{}));
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

// Distinct texts, each held once and counted by the cells that use it.
// Number 0 is the empty text and is never counted.
class ResultTable::TextPool
{
public:
    TextPool() { m_entries.push_back({}); }

    [[nodiscard]] const QString &text(quint32 id) const { return m_entries[id].text; }

    // The number of `text`, its count raised by one.
    quint32 acquire(const QString &text)
    {
        if (text.isEmpty())
            return 0;
        const auto found = m_index.constFind(text);
        if (found != m_index.cend()) {
            ++m_entries[*found].users;
            return *found;
        }
        quint32 id;
        if (!m_free.empty()) {
            id = m_free.back();
            m_free.pop_back();
        } else {
            id = quint32(m_entries.size());
            m_entries.push_back({});
        }
        m_entries[id] = {text, 1};
        m_index.insert(text, id);
        return id;
    }

    void release(quint32 id)
    {
        if (id == 0)
            return;
        Entry &e = m_entries[id];
        if (--e.users > 0)
            return;
        m_index.remove(e.text);
        e.text = QString();
        m_free.push_back(id);
    }

    [[nodiscard]] int distinct() const { return int(m_index.size()); }

private:
    struct Entry {
        QString text;
        quint32 users = 0;
    };
    std::vector<Entry> m_entries;
    std::vector<quint32> m_free;
    QHash<QString, quint32> m_index;
};

const QStringList &ResultTable::titles()
{
    static const QStringList t{QStringLiteral("email"), QStringLiteral("state"), QStringLiteral("result"),
                               QStringLiteral("code"), QStringLiteral("comment")};
    return t;
}

ResultTable::ResultTable()
    : m_rows(1)
    , m_texts(std::make_unique<TextPool>())
{
}

ResultTable::ResultTable(const ResultTable &other)
    : m_rows(other.m_rows)
    , m_retries(other.m_retries)
    , m_addresses(other.m_addresses)
    , m_wasted(other.m_wasted)
    , m_texts(std::make_unique<TextPool>(*other.m_texts))
{
}

ResultTable &ResultTable::operator=(const ResultTable &other)
{
    if (this != &other) {
        m_rows = other.m_rows;
        m_retries = other.m_retries;
        m_addresses = other.m_addresses;
        m_wasted = other.m_wasted;
        m_texts = std::make_unique<TextPool>(*other.m_texts);
    }
    return *this;
}

// Moving swaps: the moved-from table holds what this one held.
ResultTable::ResultTable(ResultTable &&other) noexcept
    : ResultTable()
{
    *this = std::move(other);
}

ResultTable &ResultTable::operator=(ResultTable &&other) noexcept
{
    std::swap(m_rows, other.m_rows);
    std::swap(m_retries, other.m_retries);
    m_addresses.swap(other.m_addresses);
    std::swap(m_wasted, other.m_wasted);
    std::swap(m_texts, other.m_texts);
    return *this;
}

ResultTable::~ResultTable() = default;

void ResultTable::initFrom(const ListTable &table, int emailColumn)
{
    *this = ResultTable();
    const int rows = std::max(table.rowCount(), 1);
    m_rows.assign(size_t(rows), Slot());
    qsizetype bytes = 0;
    for (int r = 0; r < table.rowCount(); ++r)
        bytes += table.cellBytes(r, emailColumn).size();
    m_addresses.reserve(bytes);
    for (int r = 0; r < table.rowCount(); ++r)
        storeAddress(m_rows[size_t(r)], table.cell(r, emailColumn));
    m_addresses.squeeze();
}

void ResultTable::storeAddress(Slot &slot, QStringView address)
{
    m_wasted += slot.addressSize;
    slot.addressAt = 0;
    slot.addressSize = 0;
    slot.wideAddress = false;
    if (address.isEmpty())
        return;
    const char16_t *units = address.utf16();
    const auto narrow = std::all_of(units, units + address.size(), [](char16_t u) { return u < 0x100; });
    const qsizetype bytes = narrow ? address.size() : address.size() * 2;
    slot.addressAt = quint64(m_addresses.size());
    slot.addressSize = quint32(bytes);
    slot.wideAddress = !narrow;
    m_addresses.resize(m_addresses.size() + bytes);
    char *out = m_addresses.data() + slot.addressAt;
    if (narrow) {
        for (qsizetype i = 0; i < address.size(); ++i)
            out[i] = char(units[i]);
    } else {
        std::memcpy(out, units, size_t(bytes));
    }
}

QString ResultTable::address(int index) const
{
    const Slot &slot = m_rows[size_t(index)];
    if (slot.addressSize == 0)
        return {};
    const char *bytes = m_addresses.constData() + slot.addressAt;
    if (!slot.wideAddress)
        return QString::fromLatin1(bytes, qsizetype(slot.addressSize));
    return QString(reinterpret_cast<const QChar *>(bytes), qsizetype(slot.addressSize / 2));
}

void ResultTable::setAddress(int index, QStringView address)
{
    storeAddress(m_rows[size_t(index)], address);
    if (m_wasted > 4096 && m_wasted > m_addresses.size() / 2)
        compactAddresses();
}

bool ResultTable::addressContains(int index, QChar c) const
{
    const Slot &slot = m_rows[size_t(index)];
    const char *bytes = m_addresses.constData() + slot.addressAt;
    if (!slot.wideAddress)
        return c.unicode() < 0x100 && std::memchr(bytes, c.unicode(), slot.addressSize) != nullptr;
    return QStringView(reinterpret_cast<const QChar *>(bytes), qsizetype(slot.addressSize / 2)).contains(c);
}

void ResultTable::compactAddresses()
{
    QByteArray packed;
    packed.reserve(m_addresses.size() - m_wasted);
    for (Slot &slot : m_rows) {
        const quint64 at = quint64(packed.size());
        packed.append(m_addresses.constData() + slot.addressAt, qsizetype(slot.addressSize));
        slot.addressAt = slot.addressSize ? at : 0;
    }
    m_addresses = std::move(packed);
    m_wasted = 0;
}

const QString &ResultTable::cell(int index, Cell cell) const
{
    return m_texts->text(m_rows[size_t(index)].texts[int(cell)]);
}

void ResultTable::setCell(int index, Cell cell, const QString &text)
{
    quint32 &id = m_rows[size_t(index)].texts[int(cell)];
    if (id != 0 && m_texts->text(id) == text)
        return;
    const quint32 next = m_texts->acquire(text);
    m_texts->release(id);
    id = next;
}

ResultRow ResultTable::row(int index) const
{
    ResultRow r;
    r.address = address(index);
    r.state = state(index);
    r.result = result(index);
    r.code = code(index);
    r.comment = comment(index);
    r.status = status(index);
    return r;
}

void ResultTable::setRow(int index, const ResultRow &row)
{
    setAddress(index, row.address);
    setState(index, row.state);
    setResult(index, row.result);
    setCode(index, row.code);
    setComment(index, row.comment);
    setStatus(index, row.status);
}

void ResultTable::releaseTexts(Slot &slot)
{
    for (quint32 &id : slot.texts) {
        m_texts->release(id);
        id = 0;
    }
}

void ResultTable::resetRow(int index)
{
    Slot &slot = m_rows[size_t(index)];
    releaseTexts(slot);
    setStatus(index, RowStatus::NotProcessed);
}

std::optional<RowRetry> ResultTable::retry(int index) const
{
    if (status(index) != RowStatus::Deferred)
        return std::nullopt;
    const auto found = m_retries.find(index);
    return found == m_retries.end() ? RowRetry{} : found->second;
}

void ResultTable::setRowCount(int rows)
{
    const size_t count = size_t(std::max(rows, 1));
    m_retries.erase(m_retries.lower_bound(int(count)), m_retries.end());
    for (size_t r = count; r < m_rows.size(); ++r) {
        releaseTexts(m_rows[r]);
        m_wasted += m_rows[r].addressSize;
    }
    m_rows.resize(count);
    if (m_wasted > m_addresses.size() / 2)
        compactAddresses();
}

void ResultTable::removeRowSet(std::span<const int> sortedRows)
{
    size_t write = 0;
    size_t next = 0;
    for (size_t read = 0; read < m_rows.size(); ++read) {
        while (next < sortedRows.size() && sortedRows[next] < int(read))
            ++next;
        if (next < sortedRows.size() && sortedRows[next] == int(read)) {
            releaseTexts(m_rows[read]);
            m_wasted += m_rows[read].addressSize;
            continue;
        }
        if (write != read)
            m_rows[write] = m_rows[read];
        ++write;
    }
    m_rows.resize(write);
    if (m_rows.empty())
        m_rows.resize(1);
    // The retries move up with their rows.
    std::map<int, RowRetry> retries;
    for (const auto &[row, retry] : m_retries) {
        const auto removed = std::lower_bound(sortedRows.begin(), sortedRows.end(), row);
        if (removed == sortedRows.end() || *removed != row)
            retries.emplace(row - int(removed - sortedRows.begin()), retry);
    }
    m_retries.swap(retries);
    compactAddresses();
}

int ResultTable::count(RowStatus status) const
{
    return int(std::count_if(m_rows.cbegin(), m_rows.cend(), [status](const Slot &r) { return r.status == status; }));
}

bool ResultTable::matches(const ListTable &table, int emailColumn) const
{
    if (table.rowCount() != rowCount())
        return false;
    for (int r = 0; r < rowCount(); ++r) {
        if (address(r) != table.cell(r, emailColumn))
            return false;
    }
    return true;
}

bool operator==(const ResultTable &a, const ResultTable &b)
{
    if (a.rowCount() != b.rowCount())
        return false;
    for (int r = 0; r < a.rowCount(); ++r) {
        if (a.row(r) != b.row(r) || a.retry(r) != b.retry(r))
            return false;
    }
    return true;
}

int ResultTable::distinctTexts() const
{
    return m_texts->distinct();
}

QStringList HeldBackCodes(const QString &codes)
{
    return SplitFields(u";", codes);
}

bool IsHeldBack(QStringView rowCode, const QStringList &heldBack)
{
    const QStringView code = trimBlanks(rowCode);
    return std::any_of(heldBack.cbegin(), heldBack.cend(),
                       [code](const QString &entry) { return code.compare(entry, Qt::CaseInsensitive) == 0; });
}

ResultJournal::ResultJournal(const QString &path)
    : m_path(path)
{
}

ResultJournal::~ResultJournal()
{
    closeAppend();
}

QString ResultJournal::pathForProject(const QString &projectFolder, const QString &projectName)
{
    return QDir(projectFolder).filePath(projectName + QStringLiteral(".results"));
}

QByteArray ResultJournal::encodeRow(int index, const ResultRow &row, const RowRetry &retry)
{
    QByteArray out;
    appendRecord(out, index, row.status, row.address, {row.state, row.result, row.code, row.comment}, retry);
    return out;
}

bool ResultJournal::writeSnapshot(const ResultTable &table, QString *error)
{
    closeAppend();
    const bool written = writeFileAtomicallyStreamed(
        m_path,
        [&table](QIODevice &out) {
            QByteArray block = kMagic.toByteArray() + "\r\n" + rowsLine(table.rowCount());
            for (int r = 0; r < table.rowCount(); ++r) {
                appendRecord(block, table, r);
                if (block.size() > (1 << 20)) {
                    if (out.write(block) != block.size())
                        return false;
                    block.truncate(0);
                }
            }
            return out.write(block) == block.size();
        },
        error);
    return written && openForAppend(error);
}

bool ResultJournal::openForAppend(QString *error)
{
    closeAppend();
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0) {
        if (error)
            *error = SystemErrorText(errno);
        return false;
    }
    return true;
}

void ResultJournal::closeAppend()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool ResultJournal::appendRow(const ResultTable &table, int row, QString *error)
{
    if (row < 0 || row >= table.rowCount())
        return false;
    if (m_fd < 0 && !openForAppend(error))
        return false;
    // One write per row, so that a line reaches the file whole or, when the
    // disk is full, cut short without its line end (which reading ignores).
    m_line.truncate(0);
    appendRecord(m_line, table, row);
    qsizetype done = 0;
    while (done < m_line.size()) {
        const ssize_t n = ::write(m_fd, m_line.constData() + done, size_t(m_line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = SystemErrorText(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}

std::optional<ResultTable> ResultJournal::load(const QString &path, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<ResultTable> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QFileInfo::exists(path) ? QStringLiteral("cannot be read") : QStringLiteral("does not exist"));
    qsizetype lines = 0;
    QByteArray buf(1 << 20, Qt::Uninitialized);
    for (qint64 n; (n = f.read(buf.data(), buf.size())) != 0;) {
        if (n < 0)
            return fail(QStringLiteral("cannot be read"));
        lines += std::count(buf.constData(), buf.constData() + n, '\n');
    }
    f.seek(0);
    if (!f.peek(kMagic.size()).startsWith(kMagic))
        return fail(QStringLiteral("is not a results file"));
    ResultTable table;
    bool sawRows = false;
    bool first = true;
    QString damage;
    bool stop = false;
    auto handle = [&](QByteArrayView line) {
        if (first) {
            first = false;
            return true;
        }
        const QList<QByteArray> f = line.toByteArray().split('\t');
        if (f.size() == 2 && f[0] == "rows") {
            const auto n = parseCount(f[1]);
            if (!n || *n > lines) {
                damage = QStringLiteral("its row count \"%1\" does not fit its %2 lines")
                             .arg(QString::fromLatin1(f[1]))
                             .arg(lines);
                return false;
            }
            table.setRowCount(std::max(*n, 1));
            sawRows = true;
            return true;
        }
        const auto index = parseCount(f[0]);
        const auto status = f.size() == 7 || f.size() == 9 ? parseCount(f[1]) : std::nullopt;
        if (!index || !status || *status > int(RowStatus::Deferred) || *index >= table.rowCount())
            return true;
        ResultRow r;
        r.status = RowStatus(*status);
        r.address = unescapeCell(f[2]);
        r.state = unescapeCell(f[3]);
        r.result = unescapeCell(f[4]);
        r.code = unescapeCell(f[5]);
        r.comment = unescapeCell(f[6]);
        table.setRow(*index, r);
        if (r.status == RowStatus::Deferred) {
            // A retry that cannot be read is due at once.
            RowRetry retry;
            if (f.size() == 9) {
                retry.at = std::max<qint64>(f[7].toLongLong(), 0);
                retry.deferrals = parseCount(f[8]).value_or(1);
            }
            table.defer(*index, retry);
        }
        return true;
    };
    QByteArray carry;
    while (!stop) {
        const qint64 n = f.read(buf.data(), buf.size());
        if (n < 0)
            return fail(QStringLiteral("cannot be read"));
        if (n == 0)
            break;
        carry.append(buf.constData(), n);
        const qsizetype cut = carry.lastIndexOf('\n') + 1;
        if (cut == 0)
            continue;
        forEachLine(QByteArrayView(carry).first(cut), [&](QByteArrayView line) {
            if (!handle(line))
                stop = true;
            return !stop;
        });
        carry.remove(0, cut);
    }
    if (!damage.isEmpty())
        return fail(QStringLiteral("is damaged: ") + damage);
    if (!sawRows)
        return fail(QStringLiteral("has no row count"));
    return table;
}

} // namespace varnholt
