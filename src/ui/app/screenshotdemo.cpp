#include "screenshotdemo.h"

#include "mainform.h"

#include "settings/settings.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/project/newmod2messageform.h"
#include "ui/common/messagebox.h"
#include "ui/sending/postsrv.h"

#include <QCheckBox>
#include <QHostAddress>
#include <QLineEdit>
#include <QSpinBox>
#include <QMdiSubWindow>
#include <QSplitter>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>

#include <cstdio>
#include <numeric>

namespace varnholt {

namespace {

// Just enough of an SMTP server for the picture. Transactions are counted
// across connections: the third one's recipient is refused, the fourth
// one's message never gets its answer.
class DemoSmtpServer : public QObject
{
public:
    explicit DemoSmtpServer(QObject *parent)
        : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("220 demo.example.org ESMTP\r\n");
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        for (qsizetype end = buffer.indexOf('\n'); end >= 0; end = buffer.indexOf('\n')) {
            const QByteArray line = buffer.left(end).trimmed();
            buffer.remove(0, end + 1);
            answer(socket, line);
        }
    }

    void answer(QTcpSocket *socket, const QByteArray &line)
    {
        if (m_inData.contains(socket)) {
            if (line != ".")
                return;
            m_inData.remove(socket);
            if (m_transaction != 4)
                socket->write("250 2.0.0 Ok: queued\r\n");
            return;
        }
        const QByteArray verb = line.left(4).toUpper();
        if (verb == "MAIL") {
            ++m_transaction;
            socket->write("250 2.1.0 Ok\r\n");
        } else if (verb == "RCPT" && m_transaction == 3) {
            socket->write("550 5.1.1 " + line.mid(line.indexOf(':') + 1).trimmed()
                          + ": Recipient address rejected: User unknown in local recipient table\r\n");
        } else if (verb == "DATA") {
            m_inData.insert(socket);
            socket->write("354 End data with <CR><LF>.<CR><LF>\r\n");
        } else if (verb == "QUIT") {
            socket->write("221 2.0.0 Bye\r\n");
            socket->disconnectFromHost();
        } else {
            socket->write("250 demo.example.org\r\n");
        }
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QSet<QTcpSocket *> m_inData;
    int m_transaction = 0;
};

// The project window on its HTML page; the example's list is short, so
// the body gets the room.
void showHtmlPage(TNewMod2MessageForm &project)
{
    project.pages()->setCurrentWidget(project.htmlPage());
    if (auto *splitter = project.findChild<QSplitter *>()) {
        const QList<int> sizes = splitter->sizes();
        const int total = std::accumulate(sizes.cbegin(), sizes.cend(), 0);
        if (sizes.size() == 2 && total > 400)
            splitter->setSizes({240, total - 240});
    }
}

// Calls `then` once the editor's next document that `accept` likes is
// ready (at once when `accept` likes the present one); after 15 seconds
// `late` instead.
void whenDocumentReady(TMainForm &main, THtmlEditor *editor, const std::function<bool()> &accept,
                       const std::function<void()> &then, const std::function<void()> &late)
{
    if (editor->documentPresent() && accept()) {
        then();
        return;
    }
    auto *fallback = new QTimer(&main);
    fallback->setSingleShot(true);
    QObject::connect(fallback, &QTimer::timeout, &main, [fallback, late] {
        fallback->deleteLater();
        late();
    });
    QObject::connect(editor, &THtmlEditor::documentReady, fallback, [fallback, accept, then] {
        // Once only: the timer stops when either way is taken.
        if (!fallback->isActive() || !accept())
            return;
        fallback->stop();
        fallback->deleteLater();
        then();
    });
    fallback->start(15000);
}

// Once the document is there, a moment for the browser to draw it.
void saveAfterDrawing(TMainForm &main, const ScreenshotSaver &save)
{
    QTimer::singleShot(1000, &main, [&main, save] { save(&main); });
}

} // namespace

void ShowHtmlEditorForScreenshot(TMainForm &main, ScreenshotSaver save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project) {
        save(nullptr);
        return;
    }
    showHtmlPage(*project);
    // Without a document in time the picture is taken anyway, late.
    whenDocumentReady(
        main, project->htmlEditor(), [] { return true; }, [&main, save] { saveAfterDrawing(main, save); },
        [&main, save] { save(&main); });
}

void ShowImportedPageForScreenshot(TMainForm &main, const QString &page, ScreenshotSaver save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project || page.isEmpty()) {
        save(nullptr);
        return;
    }
    showHtmlPage(*project);
    THtmlEditor *editor = project->htmlEditor();
    const QUrl htmlFile = QUrl::fromLocalFile(project->project().htmlFile());
    auto shown = [editor, htmlFile] { return editor->view()->url() == htmlFile; };
    auto failed = [save] {
        std::fprintf(stderr, "the imported page was not shown in time\n");
        save(nullptr);
    };
    // The project's own body first; then the import, which shows the page,
    // makes its pictures local and shows N.htm.
    whenDocumentReady(
        main, editor, [] { return true; },
        [&main, editor, page, shown, failed, save] {
            editor->importHtmlFile(page);
            whenDocumentReady(main, editor, shown, [&main, save] { saveAfterDrawing(main, save); }, failed);
        },
        failed);
}

namespace {

// The program's accounts (never saved in this mode) hold the demo's one,
// sending to `server`; then the project's sending window opens.
TPostSrv *openSendingWindow(TNewMod2MessageForm &project, TMainForm &main, const QString &server, quint16 port)
{
    tAccountObj account = tAccountObj::empty();
    account.Name = QStringLiteral("Spring offers");
    account.ReturnAddress = QStringLiteral("offers@example.org");
    account.MailDomain = QStringLiteral("example.org");
    account.SMTPServer = server;
    account.SMTPPort = port;
    tAccounts &accounts = programSettings().accounts;
    accounts.Clear();
    accounts.add(account);
    project.sendMailingList();
    return main.sendingWindow();
}

} // namespace

void ShowSendingRunForScreenshot(TMainForm &main, ScreenshotSaver save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    auto *server = new DemoSmtpServer(&main);
    if (!project || !server->listen()) {
        std::fprintf(stderr, "no project or no demo server\n");
        save(nullptr);
        return;
    }
    TPostSrv *sending = openSendingWindow(*project, main, QStringLiteral("127.0.0.1"), server->port());
    if (!sending) {
        save(nullptr);
        return;
    }
    // Not maximised like the project window: a framed window about as
    // high as the example's short list needs.
    if (auto *sub = qobject_cast<QMdiSubWindow *>(sending->parentWidget())) {
        sub->showNormal();
        sub->setGeometry(20, 20, 900, 400);
    }
    // The demo has no POP3 server to log in to first.
    sending->project().settings().Pop3Identify = false;
    sending->sendMail();
    // The window with its frame and caption.
    QTimer::singleShot(2500, &main, [&main, save] {
        TPostSrv *w = main.sendingWindow();
        save(w ? w->parentWidget() : nullptr);
    });
}

void ShowDirectSendingForScreenshot(TMainForm &main, ScreenshotSaver save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project) {
        save(nullptr);
        return;
    }
    TPostSrv *sending = openSendingWindow(*project, main, QStringLiteral("smtp.example.org"), 25);
    auto *transport = sending ? sending->findChild<QCheckBox *>(QStringLiteral("transportSwitch")) : nullptr;
    if (!transport) {
        save(nullptr);
        return;
    }
    if (auto *sub = qobject_cast<QMdiSubWindow *>(sending->parentWidget())) {
        sub->showNormal();
        sub->setGeometry(20, 20, 900, 460);
    }
    const MessageBoxHook previous = setMessageBoxHook([](const QString &, const QString &, int) { return int(idOk); });
    transport->setChecked(false);
    setMessageBoxHook(previous);
    if (auto *dns = sending->findChild<QLineEdit *>(QStringLiteral("dnsServer")))
        dns->setText(QStringLiteral("192.168.1.1"));
    if (auto *connections = sending->findChild<QSpinBox *>(QStringLiteral("connections")))
        connections->setValue(20);
    QTimer::singleShot(500, &main, [&main, save] {
        TPostSrv *w = main.sendingWindow();
        save(w ? w->parentWidget() : nullptr);
    });
}

} // namespace varnholt
