#include "screenshotpreview.h"

#include "mainform.h"

#include "settings/settings.h"
#include "ui/project/messagepreview.h"
#include "ui/project/newmod2messageform.h"

#include <QHostAddress>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef VARNHOLT_HAVE_PREFERENCES
#include "ui/settings/connectiontestdialog.h"
#include "ui/settings/fpref.h"
#endif

#include <cstdio>

namespace varnholt {

namespace {

// The demo account of both pictures.
tAccountObj demoAccount(quint16 smtpPort)
{
    tAccountObj account = tAccountObj::empty();
    account.Name = QStringLiteral("Spring offers");
    account.ReturnAddress = QStringLiteral("offers@example.org");
    account.MailDomain = QStringLiteral("example.org");
    account.SMTPServer = QStringLiteral("127.0.0.1");
    account.SMTPPort = smtpPort;
    account.Authen = true;
    account.AuName = QStringLiteral("offers");
    account.auPsw = QStringLiteral("demo-password");
    account.MaskSMTP = true;
    return account;
}

#ifdef VARNHOLT_HAVE_PREFERENCES
// Just enough of an SMTP server for a log-in: EHLO, AUTH PLAIN with the
// demo account's password, QUIT.
class DemoLoginServer : public QObject
{
public:
    explicit DemoLoginServer(QObject *parent) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("220 mail.example.org ESMTP ready\r\n");
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }

private:
    void serve(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            const QByteArray verb = line.left(4).toUpper();
            if (verb == "EHLO") {
                socket->write("250-mail.example.org\r\n250-SIZE 52428800\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n");
            } else if (verb == "AUTH") {
                const QByteArray expected =
                    QByteArray("\0offers\0demo-password", 21).toBase64();
                socket->write(line.endsWith(' ' + expected) ? "235 2.7.0 Authentication successful\r\n"
                                                            : "535 5.7.8 Authentication credentials invalid\r\n");
            } else if (verb == "QUIT") {
                socket->write("221 2.0.0 Bye\r\n");
                socket->disconnectFromHost();
            } else {
                socket->write("502 5.5.2 Error: command not recognized\r\n");
            }
        }
    }

    QTcpServer m_server;
};
#endif

} // namespace

void ShowMessagePreviewForScreenshot(TMainForm &main, ScreenshotSaver save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project) {
        save(nullptr);
        return;
    }
    tAccounts &accounts = programSettings().accounts;
    accounts.Clear();
    accounts.add(demoAccount(25));
    project->grid()->setCurrentIndex(project->project().table().index(1, 0));
    TMessagePreview *preview = OpenMessagePreview(*project);
    preview->resize(900, 720);
    QTimer::singleShot(1000, &main, [preview, save] { save(preview); });
}

void ShowConnectionTestForScreenshot(TMainForm &main, ScreenshotSaver save)
{
#ifdef VARNHOLT_HAVE_PREFERENCES
    auto *server = new DemoLoginServer(&main);
    if (!server->listen()) {
        std::fprintf(stderr, "no demo server\n");
        save(nullptr);
        return;
    }
    ProgramSettings &settings = programSettings();
    settings.accounts.Clear();
    settings.accounts.add(demoAccount(server->port()));
    settings.iniInfo.NConnect = 0;
    settings.iniInfo.Pop3Identify = false; // the demo has no POP3 server
    // Never saved: the window is closed by the end of the program.
    auto *preferences = new TFPref(settings, true, TFPref::Files::program(), &main);
    preferences->show();
    auto *test = preferences->findChild<QPushButton *>(QStringLiteral("btTestConnection"));
    if (!test) {
        save(nullptr);
        return;
    }
    test->click();
    TConnectionTestDialog *dialog = preferences->connectionTestDialog();
    QObject::connect(&dialog->test(), &ConnectionTest::finished, dialog, [&main, dialog, save] {
        // A moment to draw the verdict.
        QTimer::singleShot(500, &main, [dialog, save] { save(dialog); });
    });
#else
    Q_UNUSED(main);
    save(nullptr);
#endif
}

} // namespace varnholt
