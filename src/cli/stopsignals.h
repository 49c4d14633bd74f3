#pragma once

#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>

// Ctrl+C and SIGTERM for a command that runs on the event loop: while an
// object of this class lives, each signal calls the handler from the loop
// (the signal handler itself only writes a byte to a socket pair, which is
// async-signal-safe).
namespace varnholt::cli {

class StopSignals
{
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Calls `handler` once per signal received.
    void onSignal(const std::function<void()> &handler);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
};

} // namespace varnholt::cli
