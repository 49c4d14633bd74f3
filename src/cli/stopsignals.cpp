#include "stopsignals.h"

#include <QObject>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace varnholt::cli {

namespace {

// Ctrl+C and SIGTERM reach the event loop through a socket pair: the
// handler only writes one byte (async-signal-safe), the loop does the work.
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(stopPipe[0], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, stopPipe) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(stopPipe[1], QSocketNotifier::Read);
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &m_oldInt);
    ::sigaction(SIGTERM, &sa, &m_oldTerm);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    m_notifier.reset();
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}

void StopSignals::onSignal(const std::function<void()> &handler)
{
    if (!m_notifier)
        return;
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [handler] {
        char bytes[16];
        qint64 n = 0;
        while ((n = ::read(stopPipe[1], bytes, sizeof bytes)) > 0) {
            for (qint64 i = 0; i < n; ++i)
                handler();
        }
    });
}

} // namespace varnholt::cli
