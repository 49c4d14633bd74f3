// The verification window on the offscreen platform, with scripted MX
// queries: the rows and their colours, deleting the unavailable addresses
// from the project's list, saving, the fields written back; and with the
// real query against DNS servers on 127.0.0.1: Stop and Resume.
#include "ui/verify/verifyform.h"

#include "verify/dnsmxquery.h"

#include "project/project.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"

#include <QColor>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "../accessibilitycheck.h"
#include "testfiles.h"
#include "verifydns.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// mx.test has a mail server; every other domain has none; silent.test never
// answers.
class ScriptedQuery : public MxQuery
{
public:
    void start(const QString &, const QString &domain) override
    {
        if (domain == u"silent.test")
            return;
        QTimer::singleShot(0, this, [this, domain] {
            if (domain == u"mx.test")
                emit done(0, 1, QStringLiteral("mx.mx.test"), {QStringLiteral("mx.mx.test")});
            else
                emit done(0, 0, {}, {});
        });
    }
};

MxQueryFactory scripted()
{
    return [] { return std::make_unique<ScriptedQuery>(); };
}

} // namespace

class TestVerifyForm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_boxes;
    std::unique_ptr<Project> m_project;

private slots:
    void initTestCase()
    {
        ProgramFolder::initialise(m_dir.path());
        setMessageBoxHook([this](const QString &text, const QString &, int) {
            m_boxes << text;
            return int(idOk);
        });
    }

    void init()
    {
        m_boxes.clear();
        const QString eml = writeProject(m_dir.filePath("p"),
                                         {.settings = "[Common]\r\nColumn=1\r\nSectionSymbol=;\r\n",
                                          .list = "Ann;a@mx.test\r\nBob;b@nomx.test\r\nCy;no-address\r\n"
                                                  "Dee;d@silent.test\r\nEve;e@MX.test\r\n",
                                          .text = {},
                                          .html = {}});
        TIniInfo program = DefaultIniInfo();
        program.NumberConnect = 4;
        program.DnsIP = QStringLiteral("127.0.0.1:5353");
        program.TimeOut = 7;
        m_project = std::make_unique<Project>(program);
        m_project->open(eml);
    }

    void runShowsEveryRowAndDeletesTheUnavailable()
    {
        TVerifyForm w(*m_project, 1, scripted());
        w.show();
        QCOMPARE(w.windowTitle(), QStringLiteral("Verify E-mail List"));
        QCOMPARE(w.findChild<QLineEdit *>("NumConnect")->text(), "4");
        QCOMPARE(w.findChild<QLineEdit *>("DNSEdit")->text(), "127.0.0.1:5353");
        QCOMPARE(w.findChild<QSpinBox *>("udTimeOut")->value(), 7);
        QAbstractItemModel *model = w.grid()->model();
        QCOMPARE(model->headerData(5, Qt::Horizontal).toString(), "Comment");
        QCOMPARE(model->index(2, 2).data().toString(), "No"); // no "@": marked at once
        QCOMPARE(model->index(2, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0xc0, 0xc0, 0xc0));

        w.findChild<QSpinBox *>("udTimeOut")->setValue(1);
        QTest::mouseClick(w.button("sbStart"), Qt::LeftButton);
        QVERIFY(!w.button("sbStart")->isEnabled());
        QVERIFY(w.button("sbStop")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes, QStringList{"The process has been completed"}, 10000);
        QVERIFY(w.button("sbStart")->isEnabled());
        const auto row = [&](int r) {
            return QStringList{model->index(r, 2).data().toString(), model->index(r, 3).data().toString(),
                               model->index(r, 5).data().toString()}
                .join(u'|');
        };
        QCOMPARE(row(0), "Ok|mx.mx.test|mx.mx.test");
        QCOMPARE(row(1), "No||Mail server is not available");
        QCOMPARE(row(3), "No Data| |TimeOut");
        QCOMPARE(model->index(0, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0x00, 0x00, 0x80));
        QCOMPARE(model->index(1, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0xff, 0x00, 0xff));
        QCOMPARE(model->index(3, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0x00, 0x80, 0x80));
        // A double click marks a row for deletion, another one unmarks it.
        const QRect cell = w.grid()->visualRect(model->index(4, 0));
        QTest::mouseClick(w.grid()->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(w.grid()->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(row(4).section(u'|', 0, 0), "No");

        // Saving: address and state; a name without extension gets ".txt".
        setFileDialogHook([this](FileDialogKind, const QString &, const QString &) {
            return std::optional<QString>(m_dir.filePath("results"));
        });
        w.saveAs();
        setFileDialogHook({});
        QCOMPARE(readFile(m_dir.filePath("results.txt")),
                 QByteArray("a@mx.test;Ok\r\nb@nomx.test;No\r\nno-address;No\r\nd@silent.test;No Data\r\ne@MX.test;No\r\n"));

        // "No" rows leave the project's list; "No Data" stays.
        QSignalSpy changed(&w, &TVerifyForm::listChangedByVerification);
        w.deleteUnavailable();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(m_project->table().rowCount(), 2);
        QCOMPARE(m_project->table().cell(0, 1), "a@mx.test");
        QCOMPARE(m_project->table().cell(1, 1), "d@silent.test");
        QVERIFY(m_project->isModified());
        QCOMPARE(model->rowCount(), 2);

        // The fields go back into the project's settings on closing.
        w.findChild<QLineEdit *>("NumConnect")->setText("0");
        w.findChild<QLineEdit *>("DNSEdit")->setText("127.0.0.2");
        w.done(QDialog::Accepted);
        QCOMPARE(m_project->settings().NumberConnect, 1);
        QCOMPARE(m_project->settings().DnsIP, "127.0.0.2");
        QCOMPARE(m_project->settings().TimeOut, 1);
        QCOMPARE(readFile(ProgramFolder::filePath("verifylog.txt")), QByteArray("d@silent.test;TimeOut\r\n"));
    }

    // The real query: a run stopped while its two queries wait on a server
    // that never answers, then resumed against dnsmasq, where one domain is
    // forwarded to that silent server.
    void realServerStopAndResume()
    {
        VerifyDns dns;
        VARNHOLT_START_VERIFY_DNS(dns);
        const QString eml = writeProject(m_dir.filePath("real"),
                                         {.settings = "[Common]\r\nColumn=1\r\nSectionSymbol=;\r\n",
                                          .list = "Ann;a@mx.test;Oslo\r\nBob;b@nosuch.test;Rome\r\n"
                                                  "Cy;c@alias.test;Bonn\r\nDee;d@silent.test;Lund\r\n"
                                                  "Eve;e@aonly.test;Graz\r\n",
                                          .text = {},
                                          .html = {}});
        TIniInfo program = DefaultIniInfo();
        program.NumberConnect = 2;
        program.DnsIP = dns.silentServer();
        program.TimeOut = 30;
        Project project(program);
        project.open(eml);
        TVerifyForm w(project, 1, DnsMxQuery::factory());
        w.show();
        QAbstractItemModel *model = w.grid()->model();
        const auto cell = [&](int r, int c) { return model->index(r, c).data().toString(); };

        // Two queries at most, one started each 500 ms: stopped once the
        // first one has run a second, the second one still out.
        QTest::mouseClick(w.button("sbStart"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), "1", 5000);
        QTest::mouseClick(w.button("sbStop"), Qt::LeftButton);
        QCOMPARE(m_boxes, QStringList{"The process has been completed"});
        QVERIFY(w.button("sbResume")->isEnabled());
        QVERIFY(!w.button("sbStop")->isEnabled());
        QCOMPARE(w.run().runningQueries(), 0);
        QTRY_COMPARE(dns.silentReceived, 2);
        for (int r = 0; r < 5; ++r)
            QCOMPARE(cell(r, 2), QString()); // nothing answered, nothing decided
        QCOMPARE(cell(0, 4), "1");           // the seconds it reached
        for (int r = 2; r < 5; ++r)
            QCOMPARE(cell(r, 4), QString()); // never asked

        // Resume asks every row that shows no State.
        w.findChild<QLineEdit *>("DNSEdit")->setText(dns.server());
        w.findChild<QSpinBox *>("udTimeOut")->setValue(1);
        m_boxes.clear();
        QTest::mouseClick(w.button("sbResume"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes, QStringList{"The process has been completed"}, 15000);
        const auto row = [&](int r) { return QStringList{cell(r, 2), cell(r, 3), cell(r, 5)}.join(u'|'); };
        const auto colour = [&](int r) { return model->index(r, 5).data(Qt::ForegroundRole).value<QColor>(); };
        const QColor navy(0x00, 0x00, 0x80), fuchsia(0xff, 0x00, 0xff), teal(0x00, 0x80, 0x80);
        QCOMPARE(row(0), "Ok|mx2.mx.test|mx2.mx.test , mx1.mx.test");
        QCOMPARE(colour(0), navy);
        QCOMPARE(row(1), "No||Mail server is not available"); // NXDOMAIN
        QCOMPARE(colour(1), fuchsia);
        QCOMPARE(row(2), "Ok||mx2.mx.test , mx1.mx.test"); // a CNAME first: no Code
        QCOMPARE(colour(2), navy);
        QCOMPARE(row(3), "No Data| |TimeOut");
        QCOMPARE(cell(3, 4), " ");
        QCOMPARE(colour(3), teal);
        QCOMPARE(row(4), "No||Mail server is not available"); // an A record only
        QCOMPARE(colour(4), fuchsia);
        QCOMPARE(readFile(ProgramFolder::filePath("verifylog.txt")), QByteArray("d@silent.test;TimeOut\r\n"));

        setFileDialogHook([this](FileDialogKind, const QString &, const QString &) {
            return std::optional<QString>(m_dir.filePath("verified"));
        });
        QTest::mouseClick(w.button("sbSaveAs"), Qt::LeftButton);
        setFileDialogHook({});
        QCOMPARE(readFile(m_dir.filePath("verified.txt")),
                 QByteArray("a@mx.test;Ok\r\nb@nosuch.test;No\r\nc@alias.test;Ok\r\nd@silent.test;No Data\r\n"
                            "e@aonly.test;No\r\n"));

        // The rows go from the project's list with all their fields; the
        // time-out stays.
        QTest::mouseClick(w.button("sbDelete"), Qt::LeftButton);
        QVERIFY(w.listChanged());
        QVERIFY(project.isModified());
        const ListTable &table = project.table();
        QStringList kept;
        for (int r = 0; r < table.rowCount(); ++r)
            kept << QStringList{table.cell(r, 0), table.cell(r, 1), table.cell(r, 2)}.join(u';');
        QCOMPARE(kept, (QStringList{"Ann;a@mx.test;Oslo", "Cy;c@alias.test;Bonn", "Dee;d@silent.test;Lund"}));
        QCOMPARE(cell(2, 0), "d@silent.test");
        QCOMPARE(cell(2, 2), "No Data");
    }

    void keyboardAndScreenReader()
    {
        TVerifyForm w(*m_project, 1, scripted());
        VARNHOLT_VERIFY_ACCESSIBLE(&w);
        VARNHOLT_VERIFY_MNEMONICS(&w);
    }
};

QTEST_MAIN(TestVerifyForm)
#include "tst_verifyform.moc"
