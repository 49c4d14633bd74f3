#pragma once

// A scripted mail server on 127.0.0.1 for exact dialogues. The script is a
// list of steps, run in order on the first connection:
//   "S: text"  send text + CR LF ("\r\n" inside text joins several lines
//              into one write)
//   "P: text"  send text without CR LF (a reply split across writes)
//   "C: text"  expect this line from the client
//   "C: <message>"  take lines up to and including "." as the message
//   "C: <message N bytes>"  take exactly N bytes as the message (the form
//              of a session's protocol trace, followed by "C: .")
//   "C: <credentials hidden>"  take one line, whatever it says (a trace
//              hides the AUTH exchange this way)
//   "CLOSE"    close the connection in an orderly way
//   "RESET"    reset the connection (RST)
//   "SINK"     from here on read and count everything, answer nothing
// A step that does not match stops the script and is kept in `mismatch`.

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

class ScriptedPeer : public QObject
{
public:
    explicit ScriptedPeer(QStringList script) : m_script(std::move(script))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            ++connections;
            if (m_socket) { // only the first connection is scripted
                socket->deleteLater();
                return;
            }
            m_socket = socket;
            connect(socket, &QTcpSocket::readyRead, this, &ScriptedPeer::run);
            connect(socket, &QTcpSocket::disconnected, this, [this] { clientClosed = true; });
            run();
        });
    }

    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }
    [[nodiscard]] bool finished() const { return m_step >= m_script.size(); }

    QStringList received; // every line the client sent, in order
    QList<QByteArray> messages;
    QString mismatch;
    qint64 sunkBytes = 0;
    bool sinkSawDot = false;
    bool clientClosed = false;
    int connections = 0;

private:
    // N for "C: <message N bytes>", else -1.
    static qsizetype messageSize(const QString &step)
    {
        static const QLatin1String head("C: <message "), tail(" bytes>");
        if (!step.startsWith(head) || !step.endsWith(tail))
            return -1;
        bool ok = false;
        const qsizetype size = step.mid(head.size(), step.size() - head.size() - tail.size()).toLongLong(&ok);
        return ok ? size : -1;
    }

    static QByteArray unescape(QString text)
    {
        return text.replace(QLatin1String("\\r\\n"), QLatin1String("\r\n")).toUtf8();
    }

    void run()
    {
        if (!m_socket)
            return;
        m_buffer += m_socket->readAll();
        if (m_sinking) {
            sunkBytes += m_buffer.size();
            // The end of the message may come in a write of its own.
            const QByteArray seen = m_sinkTail + m_buffer;
            sinkSawDot = sinkSawDot || seen.contains("\r\n.\r\n");
            m_sinkTail = seen.right(4);
            m_buffer.clear();
            return;
        }
        while (m_step < m_script.size() && mismatch.isEmpty()) {
            const QString step = m_script.at(m_step);
            if (step.startsWith(QLatin1String("S: "))) {
                m_socket->write(unescape(step.mid(3)) + "\r\n");
            } else if (step.startsWith(QLatin1String("P: "))) {
                m_socket->write(unescape(step.mid(3)));
                m_socket->flush();
            } else if (step == QLatin1String("CLOSE")) {
                m_socket->disconnectFromHost();
            } else if (step == QLatin1String("RESET")) {
                const linger hard{1, 0};
                ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                             sizeof hard);
                m_socket->abort();
                m_socket = nullptr;
            } else if (step == QLatin1String("SINK")) {
                m_sinking = true;
                ++m_step;
                run();
                return;
            } else if (const qsizetype size = messageSize(step); size >= 0) {
                if (m_buffer.size() < size)
                    return;
                messages << m_buffer.left(size);
                m_buffer.remove(0, size);
                received << step.mid(3);
            } else if (step == QLatin1String("C: <credentials hidden>")) {
                const qsizetype end = m_buffer.indexOf("\r\n");
                if (end < 0)
                    return;
                received << QString::fromUtf8(m_buffer.left(end));
                m_buffer.remove(0, end + 2);
            } else if (step == QLatin1String("C: <message>")) {
                const qsizetype end = m_buffer.indexOf("\r\n.\r\n");
                if (end < 0 && !m_buffer.startsWith(".\r\n"))
                    return;
                const qsizetype cut = end < 0 ? 3 : end + 5;
                messages << m_buffer.left(cut);
                m_buffer.remove(0, cut);
                received << QStringLiteral("<message>");
            } else if (step.startsWith(QLatin1String("C: "))) {
                const qsizetype end = m_buffer.indexOf("\r\n");
                if (end < 0)
                    return;
                const QString line = QString::fromUtf8(m_buffer.left(end));
                m_buffer.remove(0, end + 2);
                received << line;
                if (line != step.mid(3))
                    mismatch = QStringLiteral("step %1: expected \"%2\", got \"%3\"")
                                   .arg(m_step).arg(step.mid(3), line);
            }
            ++m_step;
            if (!m_socket)
                return;
        }
        // Lines after the end of the script are still recorded.
        qsizetype end;
        while (m_step >= m_script.size() && (end = m_buffer.indexOf("\r\n")) >= 0) {
            received << QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 2);
        }
    }

    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    QStringList m_script;
    qsizetype m_step = 0;
    QByteArray m_buffer;
    bool m_sinking = false;
    QByteArray m_sinkTail; // the last bytes sunk, for an end split across reads
};

// The client lines a script expects, in order.
inline QStringList clientLines(const QStringList &script)
{
    QStringList lines;
    for (const QString &step : script) {
        if (step.startsWith(QLatin1String("C: ")))
            lines << step.mid(3);
    }
    return lines;
}
