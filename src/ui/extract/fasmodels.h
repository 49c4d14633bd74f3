#pragma once

#include "extract/conditions.h"
#include "extract/extractrun.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QStringList>

#include <vector>

// The tables of the extraction window: the field definitions it edits, the
// rows a run finds, and the entries of the folder its file manager shows.
namespace varnholt {

// The field definitions ("Field Identifiers"), one row each, their nine
// attributes as columns. Every cell is edited in place except "Unique",
// which is toggled between empty and the marker text.
class FieldGridModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int kColumns = 9;
    enum Column { FieldName, FieldBegin, FieldEnd, IdentNumber, Symbols, Words, Lines, LineNumber, Unique };

    // `titles`: the nine column titles; `uniqueMarker`: what a ticked
    // "Unique" cell holds.
    FieldGridModel(QStringList titles, QString uniqueMarker, QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex &index) const override;

    [[nodiscard]] const std::vector<extract::rItem> &items() const { return m_items; }
    // An empty list gives one empty row: the grid never has none.
    void setItems(std::vector<extract::rItem> items);
    void setTitles(const QStringList &titles);
    void setUniqueMarker(const QString &marker) { m_uniqueMarker = marker; }

    [[nodiscard]] QString cell(int row, int column) const;
    void setCell(int row, int column, const QString &text);
    // True when the row's cells are all empty after trimming.
    [[nodiscard]] bool rowBlank(int row) const;
    void insertItem(int row);
    // Removes a row; the only row is emptied instead.
    void removeItem(int row);
    void toggleUnique(int row);

private:
    std::vector<extract::rItem> m_items{extract::rItem{}};
    QStringList m_titles;
    QString m_uniqueMarker;
};

// The rows of a run ("Extracted data"): "Files", then one column per value.
// Rows arrive in batches so that a run of millions of rows costs one
// insertion per batch, not one per row.
class ExtractResultModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit ExtractResultModel(QString filesTitle, QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

    [[nodiscard]] const std::vector<extract::ExtractRow> &rows() const { return m_rows; }
    [[nodiscard]] QStringList valueTitles() const { return m_valueTitles; }
    // No rows, no value columns.
    void clear();
    // The value columns after "Files"; only ever grows during a run.
    void setValueTitles(const QStringList &titles);
    // Appends rows; a row with more values than there are value columns
    // adds numbered columns.
    void append(std::vector<extract::ExtractRow> &&rows);
    void setFilesTitle(const QString &title);

private:
    QString m_filesTitle;
    QStringList m_valueTitles;
    std::vector<extract::ExtractRow> m_rows;
};

// The entries of one folder: "Filename", "Size" (files only), "Date"
// (dd/mm/yyyy); folders first, then by name without regard to letter case.
class FileListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    struct Entry {
        QString name;
        bool isDir = false;
        qint64 size = 0;
        QDateTime modified;
    };

    explicit FileListModel(QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

    // Lists `folder` (every entry but "." and ".."); a folder that cannot be
    // read gives no entries.
    void fill(const QString &folder);
    [[nodiscard]] const std::vector<Entry> &entries() const { return m_entries; }
    [[nodiscard]] const Entry *entry(int row) const;
    // The row of an entry by its exact name, or -1.
    [[nodiscard]] int rowOf(const QString &name) const;

private:
    std::vector<Entry> m_entries;
};

} // namespace varnholt
