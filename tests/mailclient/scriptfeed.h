#pragma once

// Plays a protocol log in the test-script form against a dialogue fed line
// by line. Steps that begin with "S:", or are control steps as `isInput`
// says, go to `feed`; every other step is an output the dialogue must have
// produced (in `out`) before the next input. A mismatch fails the test.

#include <QStringList>
#include <QTest>

template <typename IsInput, typename Feed>
void playScript(const QStringList &script, QStringList &out, IsInput &&isInput, Feed &&feed)
{
    QStringList expected;
    QString last = QStringLiteral("start");
    const auto check = [&] {
        const bool same = out == expected;
        QVERIFY2(same, qPrintable(QStringLiteral("after %1\nexpected: %2\nactual:   %3")
                                      .arg(last, expected.join(" | "), out.join(" | "))));
        out.clear();
        expected.clear();
    };
    for (const QString &step : script) {
        if (!step.startsWith(QLatin1String("S:")) && !isInput(step)) {
            expected << step;
            continue;
        }
        check();
        if (QTest::currentTestFailed())
            return;
        last = step;
        feed(step);
    }
    check();
}
