#pragma once

#include <QCoreApplication>
#include <QTest>

namespace varnholt::testing {

// Returns once every call queued before it has run: queued calls run in the
// order they were posted, so a call posted now runs after all of them. A
// test shows that a queued notification did not come by waiting for this.
inline void runQueuedCalls()
{
    bool done = false;
    QMetaObject::invokeMethod(qApp, [&done] { done = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(done);
}

} // namespace varnholt::testing
