// The sending window's "Delete from list" as the desktop program wires it:
// the delete dialog's choice removes the rows from the project's list and
// from the window's results together.

#include "sendingdialogs.h"

#include "ui/sending/deleteform.h"
#include "ui/sending/postsrv.h"

#include "modalhelper.h"
#include "sendingfixture.h"
#include "testservers.h"

#include "ui/common/messagebox.h"

#include <QRadioButton>
#include <QSignalSpy>
#include <QtTest>

using namespace varnholt;
using namespace varnholt::testing;

class TestSendingDialogsWiring : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void deleteUnsentRemovesTheFailedRows()
    {
        SendingFixture f;
        openToAll(f.dir.path());
        SmtpSink sink;
        VARNHOLT_START_SERVER(sink, QString());
        f.make({"a@example.test;A", "nobody;B", "c@example.test;C"}, sink.port());
        const MessageBoxHook previous = setMessageBoxHook([](const QString &, const QString &, int) { return int(idOk); });
        installSendingDialogs();

        TPostSrv w(*f.project, f.accounts);
        QSignalSpy finished(&w.run(), &SendingRun::runFinished);
        w.sendMail();
        QVERIFY(finished.wait(30000));
        QCOMPARE(w.run().results().count(RowStatus::Failed), 1); // "nobody" has no address

        onNextModal<T_DeleteForm>([](T_DeleteForm *form) {
            form->choiceButton(DeleteChoice::Unsent)->click();
            form->accept();
        });
        QSignalSpy listChanged(&w, &TPostSrv::listChanged);
        w.deleteFromList();
        QCOMPARE(listChanged.size(), 1);
        QCOMPARE(f.project->table().rowCount(), 2);
        QCOMPARE(f.project->table().cell(1, 0), QStringLiteral("c@example.test"));
        QCOMPARE(w.run().results().rowCount(), 2);
        QCOMPARE(w.run().results().count(RowStatus::Sent), 2);
        QVERIFY(f.project->isModified());
        setMessageBoxHook(previous);
    }
};

QTEST_MAIN(TestSendingDialogsWiring)
#include "tst_sendingdialogs_wiring.moc"
