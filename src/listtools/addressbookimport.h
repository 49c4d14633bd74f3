#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Reading the address books of the mail client Parlowen: the list file
// "ListAB.lab" of a folder names the address books, each kept in a ".abk"
// file of "^"-separated records, and one of them is copied into a list
// table, one of 54 fixed fields per column, the e-mail address first.
namespace varnholt {

class ListTable;

// The lines of one file, read whole into memory; shared by the record files
// over it.
class TLowFile
{
public:
    // Reads `path`; a missing file is created empty (its folders too). An
    // unreadable file reads as empty.
    explicit TLowFile(QString path);

    [[nodiscard]] const QString &path() const { return m_path; }
    [[nodiscard]] QByteArrayList &lines() { return m_lines; }
    [[nodiscard]] const QByteArrayList &lines() const { return m_lines; }
    // Writes the lines back (CR LF each); false with `error` set to
    // "Saving to File Error :" and the file name when that fails.
    bool save(QString *error = nullptr) const;

private:
    QString m_path;
    QByteArrayList m_lines;
};

// The records of a record file: the lines whose text before the first "^",
// trimmed, is a positive decimal number (the record's id), split at "^"
// into trimmed fields, "#5E" read back as "^".
class TcsvFile
{
public:
    explicit TcsvFile(const QString &path);

    [[nodiscard]] int count() const { return int(m_records.size()); }
    // Walks the records in file order.
    void first() { m_current = 0; }
    void next() { ++m_current; }
    [[nodiscard]] bool eof() const { return m_current >= count(); }
    [[nodiscard]] int current() const { return m_current; }
    [[nodiscard]] QByteArrayList fields() const { return fieldsOf(m_current); }
    [[nodiscard]] QByteArrayList fieldsOf(int record) const;
    [[nodiscard]] qint64 idOf(int record) const;
    // The record with this id, or -1.
    [[nodiscard]] int find(qint64 id) const;

    // Changes to the file (the import never makes them): fields are escaped
    // ("^" as "#5E") and joined by "^".
    void append(const QByteArrayList &fields);
    void change(int record, const QByteArrayList &fields);
    void remove(int record);
    bool save(QString *error = nullptr) const { return m_file->save(error); }

    // Splits one line as the record files do (no id check).
    [[nodiscard]] static QByteArrayList splitLine(QByteArrayView line);

private:
    void index();
    std::shared_ptr<TLowFile> m_file;
    std::vector<int> m_records; // line index of each record
    int m_current = 0;
};

// The list file "ListAB.lab" of a folder: the named address books.
class TListABFile
{
public:
    explicit TListABFile(const QString &folder);
    [[nodiscard]] static QString pathIn(const QString &folder);
    [[nodiscard]] int count() const { return m_file.count(); }
    [[nodiscard]] qint64 id(int record) const { return m_file.idOf(record); }
    [[nodiscard]] QString name(int record) const;
    // Field 2: the address book's file name without folder and extension.
    [[nodiscard]] QString fileName(int record) const;

private:
    TcsvFile m_file;
};

// One record of an address book, its fields asked for by name.
class TAbook
{
public:
    explicit TAbook(QByteArrayList fields) : m_fields(std::move(fields)) {}
    // Text fields give their text; BIRTHDAY, DATEADDED and LASTUPDATE give
    // the date in the short date format (nothing for text that is no
    // date); every other name gives nothing. Names are compared in upper
    // case.
    [[nodiscard]] QByteArray field(const QString &name) const;

private:
    QByteArrayList m_fields;
};

// The address book of a list id in a folder: "Default.abk" for id 0 (and
// for an id the list file does not name), else the list file's field 2
// plus ".abk".
class TABookFile
{
public:
    TABookFile(const QString &folder, qint64 listId);
    [[nodiscard]] static QString pathFor(const QString &folder, qint64 listId);
    [[nodiscard]] int count() const { return m_file.count(); }
    [[nodiscard]] TAbook record(int index) const { return TAbook(m_file.fieldsOf(index)); }

private:
    TcsvFile m_file;
};

// The 54 columns of an import, column 1 first.
[[nodiscard]] const QStringList &addressBookImportColumns();

// An address book in the tree: "Default" (id 0) first, then the list
// file's books sorted by name without regard to letter case.
struct AddressBookEntry {
    qint64 id = 0;
    QString name;
};
// Nothing when the folder has no list file.
[[nodiscard]] std::optional<std::vector<AddressBookEntry>> addressBooksIn(const QString &folder,
                                                                          const QString &defaultName);

struct AddressBookImportResult {
    bool imported = false;  // at least one record: the list's records were replaced
    bool stopped = false;   // stopped by the progress callback: the list is as it was
    int records = 0;
};

// Replaces the records of `table` by those of the address book, 54 columns
// (more when the table had more; those stay empty). An address book without
// records leaves the table alone; so does a stop.
AddressBookImportResult importAddressBookRecords(const QString &folder, qint64 listId, ListTable &table,
                                                 const std::function<bool(int done, int total)> &progress = {});

} // namespace varnholt
