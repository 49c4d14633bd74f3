#pragma once

#include "settings/settings.h"

#include <QList>
#include <QString>
#include <QStringList>

// The preferences window's working copy of the mail accounts: one row of
// text cells per account, edited in place and turned back into accounts only
// when the user saves. Holds no widgets, so the profile buttons' rules can be
// checked without a window.
namespace varnholt {

class TProfileTable
{
public:
    // Cell order of a row. Security and the sending limits are kept after
    // the fifteen classic columns so their indexes stay those of the message
    // texts that head them.
    enum Column {
        colName,
        colUserID,
        colReturnAddress,
        colReplyTo,
        colSMTPServer,
        colSMTPPort,
        colMailDomain,
        colPopServer,
        colPopPort,
        colPassword,
        colAuthen,
        colAuName,
        colAuPsw,
        colMaskSMTP,
        colMaskPop3,
        colSecurity,
        colMaxPerMinute, // decimal, 0 or empty for no limit
        colMaxPerHour,
        colConnections, // decimal, 1 or more
        colNoPipelining,
        // Kept for the account without controls of their own here.
        colDkimDomain,
        colDkimSelector,
        colDkimKeyFile,
        colAuthMethod,
        colTokenCommand,
        ColumnCount
    };

    // Starts empty: one blank row and the empty flag set.
    TProfileTable();

    // One row per account in list order; with no accounts the table is empty.
    // The current row is `current` when it exists, otherwise the first.
    void fill(const tAccounts &accounts, int current);

    [[nodiscard]] bool isEmpty() const { return m_empty; }
    // Rows that hold a profile (0 while empty).
    [[nodiscard]] int profileCount() const { return m_empty ? 0 : int(m_rows.size()); }
    [[nodiscard]] int current() const { return m_current; }
    void setCurrent(int row);

    [[nodiscard]] QString cell(int column) const;
    [[nodiscard]] QString cell(int row, int column) const;
    [[nodiscard]] const QStringList &currentRow() const { return m_rows[m_current]; }
    // Writes into the current row. Does not touch the empty flag.
    void setCell(int column, const QString &text);
    // Replaces the current row and clears the empty flag: the first edit of
    // an empty table turns what the boxes show into a profile.
    void adoptRow(const QStringList &row);
    // Marks the table empty and blanks its single row.
    void blankCurrentRow();

    // The profile buttons.
    void newProfile(const tAccountObj &templateAccount);
    void copyProfile(const tAccountObj &templateAccount);
    void deleteProfile();

    // Clears `accounts` and adds one account per row, every cell trimmed;
    // ports that are not port numbers come from `templateAccount`.
    void storeInto(tAccounts &accounts, const tAccountObj &templateAccount) const;

    [[nodiscard]] static QStringList rowFromAccount(const tAccountObj &account);
    [[nodiscard]] static tAccountObj accountFromRow(const QStringList &row, const tAccountObj &templateAccount);

private:
    QList<QStringList> m_rows;
    int m_current = 0;
    bool m_empty = true;
};

} // namespace varnholt
