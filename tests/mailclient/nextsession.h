#pragma once

// Shows that a finished mail session stays finished, by an event that must
// come after anything it could still do: the same object runs one more
// session against a fresh scripted server, and the first OnDone after the
// start must be that session's, once the server has played its whole
// script. An OnDone or an error left over from the session before would
// come first.

#include "mailclient/mailsession.h"
#include "scriptedpeer.h"

#include <QScopeGuard>
#include <QTest>

// `owner` counts the OnDone events in `done` and keeps the errors in
// `errors`; `start` points the session at `next` and starts it.
template <typename Owner, typename Start>
void expectOnlyTheNextSessionEnds(varnholt::MailSession &session, const Owner &owner, const ScriptedPeer &next,
                                  Start &&start)
{
    const int doneBefore = owner.done;
    const QStringList errorsBefore = owner.errors;
    QList<bool> scriptPlayedAtDone;
    const QMetaObject::Connection watch = QObject::connect(
        &session, &varnholt::MailSession::OnDone, &session, [&] { scriptPlayedAtDone << next.finished(); });
    const auto unwatch = qScopeGuard([&] { QObject::disconnect(watch); });
    start();
    QTRY_VERIFY(!scriptPlayedAtDone.isEmpty());
    QCOMPARE(scriptPlayedAtDone, QList<bool>{true});
    QCOMPARE(owner.done, doneBefore + 1);
    QCOMPARE(owner.errors, errorsBefore);
    QVERIFY2(next.mismatch.isEmpty(), qPrintable(next.mismatch));
}
