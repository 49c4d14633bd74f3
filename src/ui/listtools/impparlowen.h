#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QToolButton;
class QTreeWidget;

// The address-book import window ("Import addressbook from Parlowen"): a
// folder of the mail client, the tree of its address books, and "Import",
// which replaces the project list's records by those of the chosen book.
namespace varnholt {

class ListTable;
class TMsgLanguage;

class TImpParlowen : public QDialog
{
    Q_OBJECT
public:
    explicit TImpParlowen(ListTable &table, QWidget *parent = nullptr);
    ~TImpParlowen() override;

    // True once an import brought at least one record.
    [[nodiscard]] bool imported() const { return m_imported; }

    // Shows the address books of `folder` (as choosing it does).
    void setFolder(const QString &folder);
    [[nodiscard]] QString folder() const { return m_folder; }

    [[nodiscard]] QLineEdit *folderEdit() const { return m_folderEdit; }
    [[nodiscard]] QTreeWidget *tree() const { return m_tree; }
    [[nodiscard]] QPushButton *importButton() const { return m_import; }
    [[nodiscard]] QPushButton *closeButton() const { return m_close; }

private:
    void browseClicked();
    void importClicked();
    void updateImportButton();

    ListTable &m_table;
    TMsgLanguage *m_msl;
    QString m_folder;
    bool m_imported = false;
    bool m_listFileFound = false;
    QLineEdit *m_folderEdit;
    QToolButton *m_browse;
    QTreeWidget *m_tree;
    QPushButton *m_import;
    QPushButton *m_close;
};

} // namespace varnholt
