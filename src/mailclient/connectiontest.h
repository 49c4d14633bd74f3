#pragma once

#include "mailclient/getmail.h"
#include "mailclient/sendmail.h"
#include "settings/settings.h"

#include <QBuffer>
#include <QObject>
#include <QString>

// `ConnectionTest`: tries an account's servers without sending anything. The
// POP3 log-in first when the account asks for one before sending, then the
// SMTP session as for a message (connection, greeting, TLS, log-in) in
// SendMail's LoginOnly mode, which says "QUIT" where the sender would be
// named. The protocol trace of both is kept (credentials hidden), and the
// end is told as one verdict in plain words.

namespace varnholt {

class ConnectionTest : public QObject
{
    Q_OBJECT
public:
    struct Settings {
        QString smtpServer;
        quint16 smtpPort = 25;
        TransportSecurity security = TransportSecurity::None; // both servers
        bool smtpAuth = false;
        QString smtpUser;
        QString smtpPassword;
        bool heloDef = true;
        QString heloTxt;
        int timeoutSeconds = 0; // 0: the sessions' default

        bool pop3First = false; // "POP3 log-in before sending"
        QString popServer;
        quint16 popPort = 110;
        QString popUser;
        QString popPassword;

        // The account's servers and credentials as a send uses them; the
        // rest comes from the program's sending settings.
        [[nodiscard]] static Settings fromAccount(const tAccountObj &account, bool pop3First, bool heloDef,
                                                  const QString &heloTxt, int timeoutSeconds);
    };

    enum class Stage { Idle, Pop3, Smtp, Done };

    explicit ConnectionTest(QObject *parent = nullptr);
    ~ConnectionTest() override;

    // Starts afresh (the trace too); finished() follows exactly once, also
    // after cancel(). Ignored while a test runs.
    void start(const Settings &settings);
    // Ends the test; it finishes as not passed.
    void cancel();

    [[nodiscard]] bool isRunning() const { return m_stage == Stage::Pop3 || m_stage == Stage::Smtp; }
    [[nodiscard]] Stage stage() const { return m_stage; }
    // Once finished: whether every server took the log-in.
    [[nodiscard]] bool passed() const { return m_passed; }
    // Once finished: one sentence ("The server accepted the log-in.") or what
    // failed, with the server's own words when a reply decided.
    [[nodiscard]] QString verdict() const { return m_verdict; }
    // The protocol trace so far: a line naming each server, then its
    // dialogue as "C: ..." and "S: ..." lines (MailSession::setTrace).
    [[nodiscard]] QString trace() const;

    // The sessions, for their certificates and time limits.
    [[nodiscard]] SendMail &smtp() { return m_smtp; }
    [[nodiscard]] GetMail &pop3() { return m_pop3; }

Q_SIGNALS:
    // Lines were added to the trace.
    void traceChanged();
    void finished(bool passed);

private:
    void startSmtp();
    void onPopInfo(GetMail::GetMailInfo info);
    void onPopError();
    void onPopDone();
    void onSmtpDone();
    void finish(bool passed, const QString &verdict);
    void traceLine(const QString &text);
    [[nodiscard]] QString smtpVerdict() const;
    [[nodiscard]] QString popVerdict() const;

    Settings m_settings;
    SendMail m_smtp;
    GetMail m_pop3;
    QBuffer m_trace;
    Stage m_stage = Stage::Idle;
    bool m_popGranted = false;
    bool m_cancelled = false;
    bool m_passed = false;
    QString m_verdict;
    qsizetype m_smtpTraceStart = 0; // where the SMTP session's lines begin
};

} // namespace varnholt
