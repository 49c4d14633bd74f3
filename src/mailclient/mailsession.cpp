#include "mailclient/mailsession.h"

#include <QHostInfo>

namespace varnholt {

MailSession::MailSession(QObject *parent) : QObject(parent) {}

std::chrono::milliseconds MailSession::replyTimeLimit() const
{
    using namespace std::chrono;
    if (m_replyLimitOverride.count() > 0)
        return m_replyLimitOverride;
    return duration_cast<milliseconds>(seconds(qMax(60, m_timeoutConnect)));
}

void MailSession::beginSession()
{
    m_busy = true;
    m_aborted = false;
    m_donePosted = false;
    m_lastResult = 0;
}

void MailSession::postDone()
{
    if (m_donePosted || !m_busy)
        return;
    m_donePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_busy = false;
            emit OnDone();
        },
        Qt::QueuedConnection);
}

void MailSession::abortSession()
{
    if (m_aborted)
        return;
    m_aborted = true;
    m_connection.close();
    postDone();
}

QString MailSession::localHostName()
{
    const QString name = QHostInfo::localHostName();
    return name.isEmpty() ? QStringLiteral("localhost") : name;
}

} // namespace varnholt
