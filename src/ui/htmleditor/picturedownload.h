#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <vector>

class QNetworkAccessManager;

// Pictures given by address (http, https) fetched into local files, all at
// once, each within a time limit, on the event loop (no waiting). A target
// is replaced only by a complete download: a failed one leaves an earlier
// file of that name as it was.
namespace varnholt {

class PictureDownload : public QObject
{
    Q_OBJECT
public:
    struct Item {
        QUrl address;
        QString target; // the local file
    };

    // A larger answer is not a picture worth keeping: the transfer fails.
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

    // Starts every transfer. finished() follows exactly once, after the
    // last one ended (later in the event loop, also for no items).
    PictureDownload(QNetworkAccessManager &network, const QList<Item> &items, int timeLimitMs,
                    QObject *parent = nullptr);
    ~PictureDownload() override;

    // Ends the transfers still running; they count as failed.
    void abort();

signals:
    // One flag per item, in order: whether its target now holds the picture.
    void finished(const QList<bool> &stored);

private:
    struct Transfer;
    void transferEnded(int index, bool ok);
    void finishWhenDone();

    std::vector<std::unique_ptr<Transfer>> m_transfers;
    QList<bool> m_stored;
    int m_running = 0;
    bool m_finishing = false;
};

} // namespace varnholt
