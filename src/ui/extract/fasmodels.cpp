#include "fasmodels.h"

#include <QApplication>
#include <QDir>
#include <QStyle>

#include <algorithm>

namespace varnholt {

using extract::ExtractRow;
using extract::rItem;

namespace {

// The attributes of a field definition in the order of the grid's columns.
constexpr QString rItem::*kAttributes[FieldGridModel::kColumns] = {
    &rItem::name, &rItem::begin, &rItem::end, &rItem::identNumber, &rItem::symbols,
    &rItem::words, &rItem::lines, &rItem::lineNumber, &rItem::unique,
};

} // namespace

// ---- FieldGridModel ---------------------------------------------------------

FieldGridModel::FieldGridModel(QStringList titles, QString uniqueMarker, QObject *parent)
    : QAbstractTableModel(parent)
    , m_titles(std::move(titles))
    , m_uniqueMarker(std::move(uniqueMarker))
{
}

int FieldGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int FieldGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant FieldGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return cell(index.row(), index.column());
}

bool FieldGridModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.column() == Unique)
        return false;
    setCell(index.row(), index.column(), value.toString());
    return true;
}

QVariant FieldGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_titles.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags FieldGridModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() != Unique)
        f |= Qt::ItemIsEditable;
    return f;
}

void FieldGridModel::setItems(std::vector<rItem> items)
{
    beginResetModel();
    m_items = std::move(items);
    if (m_items.empty())
        m_items.emplace_back();
    endResetModel();
}

void FieldGridModel::setTitles(const QStringList &titles)
{
    m_titles = titles;
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

QString FieldGridModel::cell(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns)
        return {};
    return m_items[size_t(row)].*kAttributes[column];
}

void FieldGridModel::setCell(int row, int column, const QString &text)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns)
        return;
    QString &target = m_items[size_t(row)].*kAttributes[column];
    if (target == text)
        return;
    target = text;
    emit dataChanged(index(row, column), index(row, column));
}

bool FieldGridModel::rowBlank(int row) const
{
    for (int c = 0; c < kColumns; ++c) {
        if (!cell(row, c).trimmed().isEmpty())
            return false;
    }
    return true;
}

void FieldGridModel::insertItem(int row)
{
    row = std::clamp(row, 0, rowCount());
    beginInsertRows({}, row, row);
    m_items.insert(m_items.begin() + row, rItem{});
    endInsertRows();
}

void FieldGridModel::removeItem(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    if (rowCount() == 1) {
        m_items[0] = rItem{};
        emit dataChanged(index(0, 0), index(0, kColumns - 1));
        return;
    }
    beginRemoveRows({}, row, row);
    m_items.erase(m_items.begin() + row);
    endRemoveRows();
}

void FieldGridModel::toggleUnique(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    QString &u = m_items[size_t(row)].unique;
    u = u.isEmpty() ? m_uniqueMarker : QString();
    emit dataChanged(index(row, Unique), index(row, Unique));
}

// ---- ExtractResultModel -------------------------------------------------------

ExtractResultModel::ExtractResultModel(QString filesTitle, QObject *parent)
    : QAbstractTableModel(parent)
    , m_filesTitle(std::move(filesTitle))
{
}

int ExtractResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ExtractResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1 + int(m_valueTitles.size());
}

QVariant ExtractResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole || size_t(index.row()) >= m_rows.size())
        return {};
    const ExtractRow &row = m_rows[size_t(index.row())];
    return index.column() == 0 ? row.file : row.values.value(index.column() - 1);
}

QVariant ExtractResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return section == 0 ? m_filesTitle : m_valueTitles.value(section - 1);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void ExtractResultModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_valueTitles.clear();
    endResetModel();
}

void ExtractResultModel::setValueTitles(const QStringList &titles)
{
    if (titles.size() > m_valueTitles.size()) {
        beginInsertColumns({}, columnCount(), int(titles.size()));
        m_valueTitles = titles;
        endInsertColumns();
        return;
    }
    m_valueTitles = titles + m_valueTitles.mid(titles.size());
    emit headerDataChanged(Qt::Horizontal, 1, int(m_valueTitles.size()));
}

void ExtractResultModel::append(std::vector<ExtractRow> &&rows)
{
    if (rows.empty())
        return;
    qsizetype widest = 0;
    for (const ExtractRow &r : rows)
        widest = std::max(widest, r.values.size());
    if (widest > m_valueTitles.size()) {
        QStringList titles = m_valueTitles;
        while (titles.size() < widest)
            titles << QString::number(titles.size() + 1);
        setValueTitles(titles);
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + int(rows.size()) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    endInsertRows();
    rows.clear();
}

void ExtractResultModel::setFilesTitle(const QString &title)
{
    m_filesTitle = title;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

// ---- FileListModel ----------------------------------------------------------

FileListModel::FileListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int FileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

int FileListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    const Entry *e = index.isValid() ? entry(index.row()) : nullptr;
    if (!e)
        return {};
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case 0: return e->name;
        case 1: return e->isDir ? QVariant() : QVariant(QString::number(e->size));
        default: return e->modified.toString(QStringLiteral("dd/MM/yyyy"));
        }
    }
    if (role == Qt::DecorationRole && index.column() == 0)
        return QApplication::style()->standardIcon(e->isDir ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    if (role == Qt::TextAlignmentRole && index.column() == 1)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0: return QStringLiteral("Filename");
        case 1: return QStringLiteral("Size");
        case 2: return QStringLiteral("Date");
        default: break;
        }
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void FileListModel::fill(const QString &folder)
{
    beginResetModel();
    m_entries.clear();
    const QFileInfoList infos = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    m_entries.reserve(size_t(infos.size()));
    for (const QFileInfo &info : infos)
        m_entries.push_back({info.fileName(), info.isDir(), info.isDir() ? 0 : info.size(), info.lastModified()});
    std::sort(m_entries.begin(), m_entries.end(), [](const Entry &a, const Entry &b) {
        if (a.isDir != b.isDir)
            return a.isDir;
        const int c = a.name.compare(b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    endResetModel();
}

const FileListModel::Entry *FileListModel::entry(int row) const
{
    return row >= 0 && size_t(row) < m_entries.size() ? &m_entries[size_t(row)] : nullptr;
}

int FileListModel::rowOf(const QString &name) const
{
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].name == name)
            return int(i);
    }
    return -1;
}

} // namespace varnholt
