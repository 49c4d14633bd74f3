#include "ui/settings/profiletable.h"

#include "settings/fields.h"

namespace varnholt {
namespace {

[[nodiscard]] QStringList blankRow()
{
    QStringList row;
    row.reserve(TProfileTable::ColumnCount);
    for (int i = 0; i < TProfileTable::ColumnCount; ++i)
        row.append(QString());
    return row;
}

[[nodiscard]] QString flagCell(bool on)
{
    return on ? QStringLiteral("1") : QString();
}

// A port typed into the window: a whole number in the TCP range, or the
// template's port. "25x", "-1" or "70000" would only fail later, at connect.
[[nodiscard]] qint32 portCell(const QString &cell, qint32 fallback)
{
    bool ok = false;
    const int port = trimBlanks(cell).toInt(&ok, 10);
    return ok && port >= 1 && port <= 65535 ? port : fallback;
}

// A sending limit: a whole number above 0, anything else no limit.
[[nodiscard]] qint32 limitCell(const QString &cell)
{
    bool ok = false;
    const int limit = trimBlanks(cell).toInt(&ok, 10);
    return ok && limit > 0 ? limit : 0;
}

} // namespace

TProfileTable::TProfileTable()
{
    m_rows.append(blankRow());
}

void TProfileTable::fill(const tAccounts &accounts, int current)
{
    m_rows.clear();
    for (int i = 0; i < accounts.count(); ++i)
        m_rows.append(rowFromAccount(*accounts.item(i)));
    m_empty = m_rows.isEmpty();
    if (m_empty)
        m_rows.append(blankRow());
    m_current = current >= 0 && current < m_rows.size() ? current : 0;
}

void TProfileTable::setCurrent(int row)
{
    if (row >= 0 && row < m_rows.size())
        m_current = row;
}

QString TProfileTable::cell(int column) const
{
    return cell(m_current, column);
}

QString TProfileTable::cell(int row, int column) const
{
    if (row < 0 || row >= m_rows.size() || column < 0 || column >= ColumnCount)
        return {};
    return m_rows[row][column];
}

void TProfileTable::setCell(int column, const QString &text)
{
    if (column >= 0 && column < ColumnCount)
        m_rows[m_current][column] = text;
}

void TProfileTable::adoptRow(const QStringList &row)
{
    QStringList r = row.mid(0, ColumnCount);
    while (r.size() < ColumnCount)
        r.append(QString());
    m_rows[m_current] = r;
    m_empty = false;
}

void TProfileTable::blankCurrentRow()
{
    m_rows[m_current] = blankRow();
    m_empty = true;
}

void TProfileTable::newProfile(const tAccountObj &templateAccount)
{
    if (!m_empty) {
        m_rows.append(blankRow());
        m_current = int(m_rows.size()) - 1;
    }
    m_rows[m_current] = rowFromAccount(templateAccount);
    m_empty = false;
}

void TProfileTable::copyProfile(const tAccountObj &templateAccount)
{
    if (m_empty) {
        newProfile(templateAccount);
        return;
    }
    m_rows.append(m_rows[m_current]);
    m_current = int(m_rows.size()) - 1;
}

void TProfileTable::deleteProfile()
{
    if (m_empty)
        return;
    if (m_rows.size() == 1) {
        blankCurrentRow();
        return;
    }
    m_rows.removeAt(m_current);
    m_current = std::min(m_current, int(m_rows.size()) - 1);
}

void TProfileTable::storeInto(tAccounts &accounts, const tAccountObj &templateAccount) const
{
    accounts.Clear();
    if (m_empty)
        return;
    for (const QStringList &row : m_rows)
        accounts.add(accountFromRow(row, templateAccount));
}

QStringList TProfileTable::rowFromAccount(const tAccountObj &a)
{
    QStringList row = blankRow();
    row[colName] = a.Name;
    row[colUserID] = a.UserID;
    row[colReturnAddress] = a.ReturnAddress;
    row[colReplyTo] = a.ReplyTo;
    row[colSMTPServer] = a.SMTPServer;
    row[colSMTPPort] = QString::number(a.SMTPPort);
    row[colMailDomain] = a.MailDomain;
    row[colPopServer] = a.PopServer;
    row[colPopPort] = QString::number(a.PopPort);
    row[colPassword] = a.Password;
    row[colAuthen] = flagCell(a.Authen);
    row[colAuName] = a.AuName;
    row[colAuPsw] = a.auPsw;
    row[colMaskSMTP] = flagCell(a.MaskSMTP);
    row[colMaskPop3] = flagCell(a.MaskPop3);
    row[colSecurity] = securityName(a.Security);
    row[colMaxPerMinute] = QString::number(a.MaxPerMinute);
    row[colMaxPerHour] = QString::number(a.MaxPerHour);
    row[colConnections] = QString::number(a.connectionCount());
    row[colNoPipelining] = flagCell(a.NoPipelining);
    row[colDkimDomain] = a.DkimDomain;
    row[colDkimSelector] = a.DkimSelector;
    row[colDkimKeyFile] = a.DkimKeyFile;
    row[colAuthMethod] = a.AuthMethod;
    row[colTokenCommand] = a.TokenCommand;
    return row;
}

tAccountObj TProfileTable::accountFromRow(const QStringList &row, const tAccountObj &templateAccount)
{
    const auto text = [&row](int column) {
        return column < row.size() ? trimBlanks(row[column]).toString() : QString();
    };
    tAccountObj a;
    a.Name = text(colName);
    a.UserID = text(colUserID);
    a.ReturnAddress = text(colReturnAddress);
    a.ReplyTo = text(colReplyTo);
    a.SMTPServer = text(colSMTPServer);
    a.SMTPPort = portCell(text(colSMTPPort), templateAccount.SMTPPort);
    a.MailDomain = text(colMailDomain);
    a.PopServer = text(colPopServer);
    a.PopPort = portCell(text(colPopPort), templateAccount.PopPort);
    a.Password = text(colPassword);
    a.Authen = text(colAuthen) == u"1";
    a.AuName = text(colAuName);
    a.auPsw = text(colAuPsw);
    a.MaskSMTP = text(colMaskSMTP) == u"1";
    a.MaskPop3 = text(colMaskPop3) == u"1";
    a.Security = securityFromName(text(colSecurity));
    a.MaxPerMinute = limitCell(text(colMaxPerMinute));
    a.MaxPerHour = limitCell(text(colMaxPerHour));
    // One connection is kept as 0, as an account line without the field reads.
    const int connections = std::min(limitCell(text(colConnections)), int(tAccountObj::MaxConnections));
    a.Connections = connections <= 1 ? 0 : connections;
    a.NoPipelining = text(colNoPipelining) == u"1";
    a.DkimDomain = text(colDkimDomain);
    a.DkimSelector = text(colDkimSelector);
    a.DkimKeyFile = text(colDkimKeyFile);
    a.AuthMethod = text(colAuthMethod);
    a.TokenCommand = text(colTokenCommand);
    return a;
}

} // namespace varnholt
