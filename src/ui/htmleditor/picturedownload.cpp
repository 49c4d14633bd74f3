#include "picturedownload.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QTimer>

namespace varnholt {

struct PictureDownload::Transfer {
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QSaveFile> file;
    QTimer deadline;
    qint64 received = 0;
    bool failed = false;
};

PictureDownload::PictureDownload(QNetworkAccessManager &network, const QList<Item> &items, int timeLimitMs,
                                 QObject *parent)
    : QObject(parent)
    , m_stored(items.size(), false)
{
    for (int i = 0; i < items.size(); ++i) {
        const Item &item = items.at(i);
        auto transfer = std::make_unique<Transfer>();
        Transfer *t = transfer.get();
        m_transfers.push_back(std::move(transfer));
        const QString scheme = item.address.scheme().toLower();
        if (!item.address.isValid() || (scheme != u"http" && scheme != u"https")
            || !QDir().mkpath(QFileInfo(item.target).absolutePath()))
            continue;
        t->file = std::make_unique<QSaveFile>(item.target);
        if (!t->file->open(QIODevice::WriteOnly))
            continue;

        QNetworkRequest request(item.address);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(5);
        t->reply = network.get(request);
        ++m_running;
        connect(t->reply, &QNetworkReply::readyRead, this, [t] {
            const QByteArray chunk = t->reply->readAll();
            t->received += chunk.size();
            if (t->received > kMaxBytes || t->file->write(chunk) != chunk.size()) {
                t->failed = true;
                t->reply->abort();
            }
        });
        connect(t->reply, &QNetworkReply::finished, this, [this, t, i] {
            QNetworkReply *reply = t->reply;
            t->deadline.stop();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            bool ok = !t->failed && reply->error() == QNetworkReply::NoError && status >= 200 && status < 300;
            if (ok) {
                const QByteArray rest = reply->readAll();
                ok = t->received + rest.size() <= kMaxBytes && t->file->write(rest) == rest.size()
                    && t->file->commit();
            }
            if (!ok)
                t->file->cancelWriting();
            t->reply = nullptr;
            reply->deleteLater();
            transferEnded(i, ok);
        });
        // A server that accepts and never answers must not hold the
        // command forever.
        t->deadline.setSingleShot(true);
        connect(&t->deadline, &QTimer::timeout, this, [t] {
            if (t->reply) {
                t->failed = true;
                t->reply->abort();
            }
        });
        t->deadline.start(std::max(1, timeLimitMs));
    }
    finishWhenDone();
}

PictureDownload::~PictureDownload()
{
    for (const auto &t : m_transfers) {
        if (QNetworkReply *reply = t->reply) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
    }
}

void PictureDownload::abort()
{
    for (const auto &t : m_transfers) {
        if (t->reply) {
            t->failed = true;
            t->reply->abort();
        }
    }
}

void PictureDownload::transferEnded(int index, bool ok)
{
    m_stored[index] = ok;
    --m_running;
    finishWhenDone();
}

void PictureDownload::finishWhenDone()
{
    if (m_running > 0 || m_finishing)
        return;
    m_finishing = true;
    QMetaObject::invokeMethod(this, [this] { emit finished(m_stored); }, Qt::QueuedConnection);
}

} // namespace varnholt
