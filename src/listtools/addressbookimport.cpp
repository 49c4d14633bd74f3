#include "addressbookimport.h"

#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>

namespace varnholt {

namespace {

// Fields of an address-book line after the id (0): three integers (1-3),
// seven numbers (4-10), three dates (11-13), three flags (14-16), then
// these texts from 17 on.
const QStringList &textFieldNames()
{
    static const QStringList names = {
        QStringLiteral("LN"),         QStringLiteral("FN"),         QStringLiteral("FCOMP"),
        QStringLiteral("HOMEEMAIL"),  QStringLiteral("EMAILOTHER"), QStringLiteral("ACCOUNT"),
        QStringLiteral("URL"),        QStringLiteral("DESCRIPT"),   QStringLiteral("SALUTATION"),
        QStringLiteral("TITLE"),      QStringLiteral("FIRSTNAME"),  QStringLiteral("LASTNAME"),
        QStringLiteral("MIDDLENAME"), QStringLiteral("COMPANY"),    QStringLiteral("ADDRESSCMP"),
        QStringLiteral("STREET"),     QStringLiteral("ZIP"),        QStringLiteral("CITY"),
        QStringLiteral("FULLCITY"),   QStringLiteral("COUNTRY"),    QStringLiteral("STATE"),
        QStringLiteral("HOMEPHONE"),  QStringLiteral("WORKPHONE"),  QStringLiteral("FAX"),
        QStringLiteral("CARDNAME"),   QStringLiteral("CREDITCARD"), QStringLiteral("REGNAME"),
        QStringLiteral("LANGUAGE"),   QStringLiteral("BANK"),       QStringLiteral("ADDITIONAL"),
        QStringLiteral("COMMENTS"),   QStringLiteral("LEARNED"),    QStringLiteral("IPADDRESS"),
        QStringLiteral("BROWSER"),    QStringLiteral("SUBJECT"),    QStringLiteral("PRODUCTNAM"),
        QStringLiteral("PRODUCTID"),  QStringLiteral("VERSION"),    QStringLiteral("DELIVERY"),
        QStringLiteral("REFNUMBER"),  QStringLiteral("RESELLER"),   QStringLiteral("AFFILIATE"),
        QStringLiteral("VATID"),
    };
    return names;
}
constexpr int kFirstTextField = 17;
constexpr int kFirstDateField = 11;

// A positive decimal number, or 0.
qint64 positiveId(QByteArrayView text)
{
    const QByteArrayView t = trimBlanks(text);
    if (t.isEmpty() || t.size() > 18)
        return 0;
    qint64 v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

// ---- TLowFile ----------------------------------------------------------------

TLowFile::TLowFile(QString path) : m_path(std::move(path))
{
    if (!QFileInfo::exists(m_path)) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        QFile create(m_path);
        (void)create.open(QIODevice::WriteOnly); // a failure leaves it missing: read as empty
        return;
    }
    const auto bytes = readFileBytes(m_path);
    if (!bytes)
        return;
    forEachLine(QByteArrayView(*bytes), [this](QByteArrayView line) { m_lines.append(line.toByteArray()); });
}

bool TLowFile::save(QString *error) const
{
    QByteArray data;
    for (const QByteArray &line : m_lines)
        data += line + "\r\n";
    if (writeFileAtomically(m_path, data))
        return true;
    if (error)
        *error = QStringLiteral("Saving to File Error :") + m_path;
    return false;
}

// ---- TcsvFile ----------------------------------------------------------------

TcsvFile::TcsvFile(const QString &path) : m_file(std::make_shared<TLowFile>(path))
{
    index();
}

void TcsvFile::index()
{
    m_records.clear();
    const QByteArrayList &lines = m_file->lines();
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype caret = line.indexOf('^');
        if (positiveId(caret < 0 ? QByteArrayView(line) : QByteArrayView(line).first(caret)) > 0)
            m_records.push_back(i);
    }
}

QByteArrayList TcsvFile::splitLine(QByteArrayView line)
{
    QByteArrayList fields;
    splitFieldsBytes('^', line, [&fields](QByteArrayView field) {
        QByteArray f = field.toByteArray();
        f.replace("#5E", "^");
        fields.append(f);
    });
    return fields;
}

QByteArrayList TcsvFile::fieldsOf(int record) const
{
    if (record < 0 || record >= count())
        return {};
    return splitLine(m_file->lines()[m_records[size_t(record)]]);
}

qint64 TcsvFile::idOf(int record) const
{
    if (record < 0 || record >= count())
        return 0;
    const QByteArray &line = m_file->lines()[m_records[size_t(record)]];
    const qsizetype caret = line.indexOf('^');
    return positiveId(caret < 0 ? QByteArrayView(line) : QByteArrayView(line).first(caret));
}

int TcsvFile::find(qint64 id) const
{
    for (int r = 0; r < count(); ++r) {
        if (idOf(r) == id)
            return r;
    }
    return -1;
}

namespace {
QByteArray joinEscaped(const QByteArrayList &fields)
{
    QByteArrayList escaped;
    for (QByteArray f : fields)
        escaped.append(f.replace("^", "#5E"));
    return escaped.join('^');
}
} // namespace

void TcsvFile::append(const QByteArrayList &fields)
{
    m_file->lines().append(joinEscaped(fields));
    index();
}

void TcsvFile::change(int record, const QByteArrayList &fields)
{
    if (record >= 0 && record < count())
        m_file->lines()[m_records[size_t(record)]] = joinEscaped(fields);
}

void TcsvFile::remove(int record)
{
    if (record < 0 || record >= count())
        return;
    m_file->lines().removeAt(m_records[size_t(record)]);
    index();
}

// ---- list file and address books --------------------------------------------

TListABFile::TListABFile(const QString &folder) : m_file(pathIn(folder)) {}

QString TListABFile::pathIn(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("ListAB.lab"));
}

QString TListABFile::name(int record) const
{
    return SystemCharset::toUnicode(m_file.fieldsOf(record).value(1));
}

QString TListABFile::fileName(int record) const
{
    return SystemCharset::toUnicode(m_file.fieldsOf(record).value(2));
}

QByteArray TAbook::field(const QString &name) const
{
    const QString upper = name.toUpper();
    const qsizetype text = textFieldNames().indexOf(upper);
    if (text >= 0)
        return m_fields.value(kFirstTextField + text);
    static const QStringList dates = {QStringLiteral("BIRTHDAY"), QStringLiteral("DATEADDED"),
                                      QStringLiteral("LASTUPDATE")};
    const qsizetype date = dates.indexOf(upper);
    if (date < 0)
        return {};
    const QLocale locale;
    const QDate value = locale.toDate(SystemCharset::toUnicode(trimBlanks(m_fields.value(kFirstDateField + date))),
                                      QLocale::ShortFormat);
    return value.isValid() ? SystemCharset::fromUnicode(locale.toString(value, QLocale::ShortFormat)) : QByteArray();
}

QString TABookFile::pathFor(const QString &folder, qint64 listId)
{
    QString base = QStringLiteral("Default");
    if (listId != 0) {
        const TListABFile lists(folder);
        for (int r = 0; r < lists.count(); ++r) {
            if (lists.id(r) == listId) {
                base = lists.fileName(r);
                break;
            }
        }
    }
    return QDir(folder).filePath(base + QStringLiteral(".abk"));
}

TABookFile::TABookFile(const QString &folder, qint64 listId) : m_file(pathFor(folder, listId)) {}

const QStringList &addressBookImportColumns()
{
    static const QStringList columns = {
        QStringLiteral("HOMEEMAIL"),  QStringLiteral("FIRSTNAME"),   QStringLiteral("LASTNAME"),
        QStringLiteral("MIDDLENAME"), QStringLiteral("EMAILOTHER"),  QStringLiteral("ACCOUNT"),
        QStringLiteral("URL"),        QStringLiteral("DATEADDED"),   QStringLiteral("LASTUPDATE"),
        QStringLiteral("LN"),         QStringLiteral("FN"),          QStringLiteral("FCOMP"),
        QStringLiteral("DESCRIPT"),   QStringLiteral("SALUTATION"),  QStringLiteral("TITLE"),
        QStringLiteral("BIRTHDAY"),   QStringLiteral("COMPANY"),     QStringLiteral("ADDRESSCMP"),
        QStringLiteral("STREET"),     QStringLiteral("ZIP"),         QStringLiteral("CITY"),
        QStringLiteral("FULLCITY"),   QStringLiteral("COUNTRY"),     QStringLiteral("STATE"),
        QStringLiteral("HOMEPHONE"),  QStringLiteral("WORKPHONE"),   QStringLiteral("FAX"),
        QStringLiteral("CARDNAME"),   QStringLiteral("CREDITCARD"),  QStringLiteral("REGNAME"),
        QStringLiteral("LANGUAGE"),   QStringLiteral("BANK"),        QStringLiteral("ADDITIONAL"),
        QStringLiteral("COMMENTS"),   QStringLiteral("LEARNED"),     QStringLiteral("IPADDRESS"),
        QStringLiteral("BROWSER"),    QStringLiteral("SUBJECT"),     QStringLiteral("PRODUCTNAM"),
        QStringLiteral("PRODUCTID"),  QStringLiteral("VERSION"),     QStringLiteral("DELIVERY"),
        QStringLiteral("REFNUMBER"),  QStringLiteral("RESELLER"),    QStringLiteral("AFFILIATE"),
        QStringLiteral("VATID"),      QStringLiteral("NUMLICENSE"),  QStringLiteral("PAYMENT"),
        QStringLiteral("FEE"),        QStringLiteral("SERVICEFEE"),  QStringLiteral("SHIPPING"),
        QStringLiteral("VATFEE"),     QStringLiteral("VATCOLLECTED"), QStringLiteral("VATSHIPPING"),
    };
    return columns;
}

std::optional<std::vector<AddressBookEntry>> addressBooksIn(const QString &folder, const QString &defaultName)
{
    if (!QFileInfo(TListABFile::pathIn(folder)).isFile())
        return std::nullopt;
    const TListABFile lists(folder);
    std::vector<AddressBookEntry> named;
    for (int r = 0; r < lists.count(); ++r)
        named.push_back({lists.id(r), lists.name(r)});
    std::stable_sort(named.begin(), named.end(), [](const AddressBookEntry &a, const AddressBookEntry &b) {
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    std::vector<AddressBookEntry> entries{{0, defaultName}};
    entries.insert(entries.end(), named.begin(), named.end());
    return entries;
}

AddressBookImportResult importAddressBookRecords(const QString &folder, qint64 listId, ListTable &table,
                                                 const std::function<bool(int, int)> &progress)
{
    AddressBookImportResult result;
    const TABookFile book(folder, listId);
    const int total = book.count();
    if (total == 0)
        return result;
    // The records go into a new table that replaces the list's when all are
    // in: a stop leaves the list as it was.
    const QStringList &columns = addressBookImportColumns();
    ListTable fresh;
    fresh.setFileEncoding(table.fileEncoding());
    fresh.beginUpdate();
    fresh.setRowCount(total);
    fresh.setColumnCount(std::max(int(columns.size()), table.columnCount()));
    for (int r = 0; r < total; ++r) {
        const TAbook record = book.record(r);
        for (int c = 0; c < columns.size(); ++c)
            fresh.setCellBytes(r, c, record.field(columns[c]));
        if (progress && !progress(r + 1, total)) {
            result.stopped = true;
            fresh.endUpdate();
            return result;
        }
    }
    fresh.endUpdate();
    table.assign(fresh);
    result.imported = true;
    result.records = total;
    return result;
}

} // namespace varnholt
