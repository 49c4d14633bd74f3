#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>

class QAbstractItemModel;
class QComboBox;
class QHBoxLayout;
class QPushButton;
class QTableView;
class QWidget;

// The part the filter and the replace windows have in common: a grid of
// keywords (or of old and new values) that is kept in a file, with the row
// above it: "Load File", "Save File As", "Add Keyword", "Delete Keyword"
// and the "Field delimiter" box. What a button does, the file's format and
// the captions, hints and messages stay with each window.
namespace varnholt {

// The 25 characters of the list tools' "Field delimiter" boxes.
[[nodiscard]] QStringList listToolDelimiters();

// Tab goes through `widgets` in this order (the grid's widgets are made
// first; a window puts its own between them where they stand on screen).
void setTabChain(std::initializer_list<QWidget *> widgets);

class KeywordGrid : public QObject
{
    Q_OBJECT
public:
    // The view over `model` (named `accessibleName` for screen readers),
    // the four buttons and the delimiter box, all children of `window`.
    KeywordGrid(QAbstractItemModel *model, const QString &accessibleName, QWidget *window);

    [[nodiscard]] QTableView *view() const { return m_view; }
    [[nodiscard]] QComboBox *delimiterBox() const { return m_delimiter; }
    [[nodiscard]] QPushButton *loadButton() const { return m_load; }
    [[nodiscard]] QPushButton *saveAsButton() const { return m_saveAs; }
    [[nodiscard]] QPushButton *addButton() const { return m_add; }
    [[nodiscard]] QPushButton *deleteButton() const { return m_delete; }
    // The buttons, then the delimiter box at the right: the window's top row.
    [[nodiscard]] QHBoxLayout *fileRow() const { return m_fileRow; }

    // The first character of the delimiter box; ";" when it is empty.
    [[nodiscard]] QChar delimiter() const;

    // The file the grid was read from or saved to; empty when none.
    [[nodiscard]] QString file() const { return m_file; }
    void setFile(const QString &file);

    // "Save File As" has something to save once a file is named or the
    // grid was edited by the user.
    [[nodiscard]] bool canSave() const { return !m_file.isEmpty() || m_edited; }

    // Runs `fill`, the window's reading of its file into the model; the
    // changes it makes are not the user's edits.
    void refill(const std::function<void()> &fill);

private:
    void updateSaveAllowed();

    QString m_file;
    bool m_edited = false;
    bool m_filling = false;

    QTableView *m_view;
    QComboBox *m_delimiter;
    QPushButton *m_load;
    QPushButton *m_saveAs;
    QPushButton *m_add;
    QPushButton *m_delete;
    QHBoxLayout *m_fileRow;
};

} // namespace varnholt
