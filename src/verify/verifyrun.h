#pragma once

#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>



// The verification of a mailing list's addresses: each address must have a
// domain after its first "@", and a DNS server must answer an MX query for
// that domain with at least one record. No mail server is contacted.
//
// The run hands out one row per tick of its dispatch timer (1000 / number of
// connections milliseconds), with at most "number of connections" queries at
// once; a domain already answered in this run is decided from the run's good
// and bad domain lists without a new query. Each query has a one-second
// clock; past the time-out its row reads "No Data" / "TimeOut" and a line
// goes to the verification log. Windows and the command line observe the
// rows; the DNS query itself sits behind MxQuery, so tests can script it.
namespace varnholt {

// One MX query for a domain at a DNS server. It reports done() once, or
// never when the server does not answer (the run's clock ends the row).
class MxQuery : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // `server` is "host" or "host:port". A query that cannot be sent (a
    // server that is no address) says so through sendFailed() and never
    // reports done(): the run's clock ends its row.
    virtual void start(const QString &server, const QString &domain) = 0;

signals:
    // `error` 0 for an answer, else the query's error code; `answers` the
    // number of answer records; `firstExchange` the exchange of the first
    // answer when it is an MX record; `exchanges` the exchanges of all its
    // MX records, in order.
    void done(int error, int answers, const QString &firstExchange, const QStringList &exchanges);
    void sendFailed(const QString &message);
};

using MxQueryFactory = std::function<std::unique_ptr<MxQuery>()>;

// The state of a row, by number as the window colours it.
enum class VerifyState : int {
    Unchecked = 0,
    Invalid = 1,     // no "@" or no domain: never queried
    Available = 2,   // an answer came
    Unavailable = 3, // an answer without records
    TimedOut = 4,
    QueryError = 5,
};

struct VerifyRow {
    QString address;
    QString domain;   // the text after the first "@", untrimmed
    QString state;    // "Ok", "No", "No Data" or empty
    QString code;     // the first MX exchange; a blank after a time-out
    QString time;     // seconds the query ran; a blank after a time-out
    QString comment;
    VerifyState number = VerifyState::Unchecked;
};

// The texts the run writes into rows (the window's message list).
struct VerifyTexts {
    QString error = QStringLiteral("Error");
    QString unavailable = QStringLiteral("Mail server is not available");
    QString available = QStringLiteral("Mail server is available");
    QString noData = QStringLiteral("No Data");
    QString timeOut = QStringLiteral("TimeOut");
};

class VerifyRun : public QObject
{
    Q_OBJECT
public:
    explicit VerifyRun(MxQueryFactory factory, QObject *parent = nullptr);
    ~VerifyRun() override;

    // The list's addresses, one row each; rows without a domain are marked
    // invalid ("No") at once.
    void setAddresses(const QStringList &addresses);
    [[nodiscard]] const std::vector<VerifyRow> &rows() const { return m_rows; }
    [[nodiscard]] int rowCount() const { return int(m_rows.size()); }
    // The window's grid may cut the rows (a stopped load).
    void truncate(int rows);

    // "Number of Connections": a number below 1, or no number, counts as 1.
    void setConnections(const QString &text);
    [[nodiscard]] int connections() const { return m_connections; }
    void setDnsServer(const QString &server) { m_dnsServer = server.trimmed(); }
    [[nodiscard]] QString dnsServer() const { return m_dnsServer; }
    // Seconds a query may take, 1 to 32767.
    void setTimeOut(int seconds);
    [[nodiscard]] int timeOut() const { return m_timeOut; }
    void setTexts(const VerifyTexts &texts) { m_texts = texts; }
    // Where time-outs are logged ("address;TimeOut" lines), or null.
    void setLog(QIODevice *log) { m_log = log; }

    // "Start Verification" (fresh: the domain lists are emptied and every
    // checked row cleared) or "Resume" (rows showing "Ok" or "No Data" are
    // not asked again).
    void start(bool resume);
    // "Stop": queries still running are dropped, their rows keep what they
    // show. Also the run's own end when every row was handed out.
    void finish();
    [[nodiscard]] bool isRunning() const { return m_running; }
    [[nodiscard]] int runningQueries() const { return int(m_queries.size()); }
    [[nodiscard]] int done() const { return m_done; }

    // Double-click: State toggles between "No" and empty.
    void toggleMark(int row);
    // The rows whose State is exactly "No", ascending.
    [[nodiscard]] std::vector<int> unavailableRows() const;
    // Drops those rows from the run (the caller drops them from the list).
    void removeRows(const std::vector<int> &sortedRows);
    // "address;State" lines, CR LF; false when the file cannot be written.
    bool saveAs(const QString &file, QString *error = nullptr) const;

    [[nodiscard]] const QSet<QString> &goodDomains() const { return m_good; }
    [[nodiscard]] const QSet<QString> &badDomains() const { return m_bad; }

signals:
    void rowChanged(int row);
    void runningChanged(bool running);
    // A query could not be sent (its row ends at its time-out); said once
    // a run.
    void querySendFailed(const QString &message);
    // The run ended: every row handed out and answered, or finish().
    void finished();

private:
    struct Query {
        int row = -1;
        std::unique_ptr<MxQuery> query;
        QTimer clock;
        int seconds = 0;
    };

    void tick();
    void handOut();
    [[nodiscard]] bool isCandidate(int row) const;
    [[nodiscard]] static QString domainKey(const QString &domain);
    void answered(Query *query, int error, int answers, const QString &firstExchange, const QStringList &exchanges);
    void clockTick(Query *query);
    void rowDone(Query *query);
    void set(int row, const QString &state, const QString &comment, VerifyState number);

    MxQueryFactory m_factory;
    std::vector<VerifyRow> m_rows;
    int m_connections = 1;
    QString m_dnsServer;
    int m_timeOut = 30;
    VerifyTexts m_texts;
    QPointer<QIODevice> m_log;

    QTimer m_dispatch;
    std::vector<std::unique_ptr<Query>> m_queries;
    std::vector<std::unique_ptr<Query>> m_retired; // done, freed at the next tick
    QSet<QString> m_good;
    QSet<QString> m_bad;
    int m_next = 0; // the first row not handed out yet
    int m_done = 0;
    bool m_resume = false;
    bool m_running = false;
    bool m_finished = true;
    bool m_sendFailureSaid = false;
};

} // namespace varnholt
