#include "verifyrun.h"

#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QIODevice>

#include <algorithm>

namespace varnholt {

namespace {

const QString kOk = QStringLiteral("Ok");
const QString kNo = QStringLiteral("No");

} // namespace

VerifyRun::VerifyRun(MxQueryFactory factory, QObject *parent)
    : QObject(parent)
    , m_factory(std::move(factory))
{
    // A coarse timer may fire 5% late, and the pacing is the run's whole
    // time when the server answers at once.
    m_dispatch.setTimerType(Qt::PreciseTimer);
    connect(&m_dispatch, &QTimer::timeout, this, &VerifyRun::tick);
}

VerifyRun::~VerifyRun()
{
    m_dispatch.stop();
    for (const auto &q : m_queries) {
        q->clock.disconnect();
        if (q->query)
            q->query->disconnect(this);
    }
}

void VerifyRun::setAddresses(const QStringList &addresses)
{
    m_rows.clear();
    m_rows.reserve(size_t(addresses.size()));
    for (const QString &address : addresses) {
        VerifyRow row;
        row.address = address;
        const qsizetype at = address.indexOf(u'@');
        if (at < 0 || address.mid(at + 1).trimmed().isEmpty()) {
            row.state = kNo;
            row.number = VerifyState::Invalid;
        } else {
            row.domain = address.mid(at + 1);
        }
        m_rows.push_back(std::move(row));
    }
}

void VerifyRun::truncate(int rows)
{
    if (rows >= 0 && rows < rowCount())
        m_rows.resize(size_t(rows));
}

void VerifyRun::setConnections(const QString &text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    m_connections = ok && n >= 1 ? n : 1;
}

void VerifyRun::setTimeOut(int seconds)
{
    m_timeOut = std::clamp(seconds, 1, 32767);
}

QString VerifyRun::domainKey(const QString &domain)
{
    return domain.toCaseFolded();
}

void VerifyRun::start(bool resume)
{
    m_dispatch.stop();
    m_finished = false;
    m_next = 0;
    m_done = 0;
    m_resume = resume;
    m_sendFailureSaid = false;
    if (!resume) {
        m_good.clear();
        m_bad.clear();
        for (int r = 0; r < rowCount(); ++r) {
            VerifyRow &row = m_rows[size_t(r)];
            if (row.number == VerifyState::Invalid)
                continue;
            // The row keeps its number, and so its colour, until it is
            // checked again.
            row.state.clear();
            row.code.clear();
            row.time.clear();
            row.comment.clear();
            emit rowChanged(r);
        }
    }
    m_running = true;
    emit runningChanged(true);
    // At most one new query a tick: "number of connections" a second.
    m_dispatch.start(std::max(1, 1000 / m_connections));
}

void VerifyRun::tick()
{
    m_retired.clear();
    if (runningQueries() < m_connections && m_next < rowCount())
        handOut();
    else if (m_queries.empty())
        finish();
}

bool VerifyRun::isCandidate(int row) const
{
    const VerifyRow &r = m_rows[size_t(row)];
    if (r.number == VerifyState::Invalid)
        return false;
    if (!m_resume)
        return true;
    // Resume asks again only what is unanswered or said no.
    const QString state = r.state.trimmed();
    return state.isEmpty() || state == kNo;
}

void VerifyRun::handOut()
{
    while (m_next < rowCount()) {
        const int r = m_next;
        if (!isCandidate(r)) {
            ++m_next;
            continue;
        }
        const QString key = domainKey(m_rows[size_t(r)].domain);
        if (m_good.contains(key)) {
            set(r, kOk, m_texts.available, VerifyState::Available);
            ++m_next;
            continue;
        }
        if (m_bad.contains(key)) {
            set(r, kNo, m_texts.unavailable, VerifyState::Unavailable);
            ++m_next;
            continue;
        }
        ++m_next;
        auto owned = std::make_unique<Query>();
        Query *q = owned.get();
        q->row = r;
        q->query = m_factory();
        m_queries.push_back(std::move(owned));
        connect(q->query.get(), &MxQuery::done, this,
                [this, q](int error, int answers, const QString &first, const QStringList &exchanges) {
                    answered(q, error, answers, first, exchanges);
                });
        connect(q->query.get(), &MxQuery::sendFailed, this, [this](const QString &message) {
            if (!std::exchange(m_sendFailureSaid, true))
                emit querySendFailed(message);
        });
        q->clock.setInterval(1000);
        connect(&q->clock, &QTimer::timeout, this, [this, q] { clockTick(q); });
        q->clock.start();
        q->query->start(m_dnsServer, m_rows[size_t(r)].domain);
        return;
    }
}

void VerifyRun::clockTick(Query *q)
{
    ++q->seconds;
    VerifyRow &row = m_rows[size_t(q->row)];
    row.time = QString::number(q->seconds);
    emit rowChanged(q->row);
    if (q->seconds <= m_timeOut)
        return;
    row.state = m_texts.noData;
    row.code = QStringLiteral(" ");
    row.time = QStringLiteral(" ");
    row.comment = m_texts.timeOut;
    row.number = VerifyState::TimedOut;
    emit rowChanged(q->row);
    if (m_log)
        m_log->write(SystemCharset::fromUnicode(row.address + u';' + m_texts.timeOut + QStringLiteral("\r\n")));
    rowDone(q);
}

void VerifyRun::answered(Query *q, int error, int answers, const QString &firstExchange,
                         const QStringList &exchanges)
{
    q->clock.stop();
    const int r = q->row;
    VerifyRow &row = m_rows[size_t(r)];
    const QString key = domainKey(row.domain);
    if (error != 0) {
        // A failed query says nothing of the domain: neither list learns it.
        row.state = kNo;
        row.comment = m_texts.error + u' ' + QString::number(error);
        row.number = VerifyState::QueryError;
    } else if (answers > 0) {
        row.state = kOk;
        row.code = firstExchange;
        row.comment = exchanges.join(QStringLiteral(" , "));
        row.number = VerifyState::Available;
        m_good.insert(key);
    } else {
        row.state = kNo;
        row.comment = m_texts.unavailable;
        row.number = VerifyState::Unavailable;
        m_bad.insert(key);
    }
    emit rowChanged(r);
    rowDone(q);
}

void VerifyRun::rowDone(Query *q)
{
    // The dispatch timer keeps its phase: restarting it here would push the
    // next tick a whole period past every answer.

    // Detached first: a late answer or a second time-out of this query
    // reaches nobody. Both objects may be inside their own signal now.
    q->clock.stop();
    q->clock.disconnect();
    if (q->query) {
        q->query->disconnect(this);
        q->query.release()->deleteLater();
    }
    const auto it = std::find_if(m_queries.begin(), m_queries.end(), [q](const auto &p) { return p.get() == q; });
    if (it != m_queries.end()) {
        // The clock may be the sender of the call that got here: it goes
        // at the next tick.
        m_retired.push_back(std::move(*it));
        m_queries.erase(it);
    }
    ++m_done;
}

void VerifyRun::finish()
{
    if (m_finished)
        return;
    m_dispatch.stop();
    m_finished = true;
    // Queries still out are dropped; their rows keep what they show.
    while (!m_queries.empty()) {
        Query *q = m_queries.back().get();
        q->clock.stop();
        q->clock.disconnect();
        if (q->query) {
            q->query->disconnect(this);
            q->query.release()->deleteLater();
        }
        m_retired.push_back(std::move(m_queries.back()));
        m_queries.pop_back();
    }
    m_running = false;
    m_next = 0;
    emit runningChanged(false);
    emit finished();
}

void VerifyRun::set(int row, const QString &state, const QString &comment, VerifyState number)
{
    VerifyRow &r = m_rows[size_t(row)];
    r.state = state;
    r.comment = comment;
    r.number = number;
    emit rowChanged(row);
}

void VerifyRun::toggleMark(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    VerifyRow &r = m_rows[size_t(row)];
    r.state = r.state == kNo ? QString() : kNo;
    emit rowChanged(row);
}

std::vector<int> VerifyRun::unavailableRows() const
{
    std::vector<int> rows;
    for (int r = 0; r < rowCount(); ++r) {
        if (m_rows[size_t(r)].state == kNo)
            rows.push_back(r);
    }
    return rows;
}

void VerifyRun::removeRows(const std::vector<int> &sortedRows)
{
    if (m_running || sortedRows.empty())
        return;
    std::vector<VerifyRow> kept;
    kept.reserve(m_rows.size());
    size_t next = 0;
    for (int r = 0; r < rowCount(); ++r) {
        while (next < sortedRows.size() && sortedRows[next] < r)
            ++next;
        if (next < sortedRows.size() && sortedRows[next] == r)
            continue;
        kept.push_back(std::move(m_rows[size_t(r)]));
    }
    m_rows = std::move(kept);
}

bool VerifyRun::saveAs(const QString &file, QString *error) const
{
    QByteArray text;
    for (const VerifyRow &row : m_rows)
        text += SystemCharset::fromUnicode(row.address + u';' + row.state + QStringLiteral("\r\n"));
    return writeFileAtomically(file, text, error);
}

} // namespace varnholt
