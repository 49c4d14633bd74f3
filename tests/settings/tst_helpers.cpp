#include "settings/helpers.h"
#include "settings/logrecords.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

using namespace varnholt;

class TestHelpers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void joinPath_data();
    void joinPath();
    void readTextFile_data();
    void readTextFile();
    void readTextFileMissingOrEmpty();
    void shortenToWidth_data();
    void shortenToWidth();
    void parseLogLine_data();
    void parseLogLine();
    void loadLog();

private:
    QString writeTemp(const QString &name, const QByteArray &bytes)
    {
        return varnholt::testing::writeFile(m_dir.filePath(name), bytes) ? m_dir.filePath(name) : QString();
    }
    QTemporaryDir m_dir;
};

void TestHelpers::joinPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("expected");

    const QChar bs(u'\\');
    const QChar sl(u'/');
    QTest::newRow("folder ends with separator") << "C:\\prog\\" << "setupqnd.ini" << bs << "C:\\prog\\setupqnd.ini";
    QTest::newRow("slashes become the separator") << "C:/a" << "b" << bs << "C:\\a\\b";
    QTest::newRow("name starts with separator") << "C:\\a" << "\\b" << bs << "C:\\a\\b";
    QTest::newRow("both have one: one dropped") << "C:\\a\\" << "/b" << bs << "C:\\a\\b";
    QTest::newRow("neither: separator added") << "/home/u" << "pics\\x.gif" << sl << "/home/u/pics/x.gif";
    QTest::newRow("empty folder drops leading slash") << "" << "/etc/x" << sl << "etc/x";
    QTest::newRow("empty folder, name is the separator") << "" << "\\" << bs << "";
    QTest::newRow("empty name rewrites the folder") << "a/b/c" << "" << bs << "a\\b\\c";
    QTest::newRow("both empty") << "" << "" << sl << "";
    QTest::newRow("doubled slash inside the name stays two") << "/a" << "b//c" << sl << "/a/b//c";
}

void TestHelpers::joinPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QChar, separator);
    QFETCH(QString, expected);
    QCOMPARE(JoinPath(folder, name, separator), expected);
}

void TestHelpers::readTextFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("UTF-16LE with byte-order mark")
        << QByteArray("\xFF\xFE<\0p\0>\0\xFC\0\x1F\x04", 12) << QStringLiteral("<p>üП");
    QTest::newRow("UTF-16 ends at the first NUL") << QByteArray("\xFF\xFEh\0i\0\0\0x\0", 10) << QStringLiteral("hi");
    QTest::newRow("UTF-16 with odd byte at the end") << QByteArray("\xFF\xFEo\0k\0!", 7) << QStringLiteral("ok");
    QTest::newRow("plain HTML byte for byte") << QByteArray("<html>\r\n<b>x</b>\n</html>")
                                              << QStringLiteral("<html>\r\n<b>x</b>\n</html>");
    QTest::newRow("UTF-8 text") << QByteArray("Gr\xC3\xBC\xC3\x9F" "e") << QStringLiteral("Grüße");
    QTest::newRow("one byte") << QByteArray("a") << QStringLiteral("a");
}

void TestHelpers::readTextFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QString text = QStringLiteral("old");
    QVERIFY(ReadTextFile(writeTemp(QStringLiteral("text.htm"), bytes), text));
    QCOMPARE(text, expected);
}

void TestHelpers::readTextFileMissingOrEmpty()
{
    QString text = QStringLiteral("old");
    QVERIFY(!ReadTextFile(m_dir.filePath(QStringLiteral("missing.htm")), text));
    QCOMPARE(text, QStringLiteral("old"));
    QVERIFY(ReadTextFile(writeTemp(QStringLiteral("empty.htm"), QByteArray()), text));
    QCOMPARE(text, QStringLiteral("old"));
}

void TestHelpers::shortenToWidth_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxWidth");
    QTest::addColumn<QString>("expected");

    // Width = number of characters.
    QTest::newRow("fits") << "address@example.test" << 20 << "address@example.test";
    QTest::newRow("shortened") << "abcdefghij" << 8 << "abcde...";
    QTest::newRow("far too wide: dots alone") << "abcdefghij" << 1 << "...";
    QTest::newRow("empty") << "" << 0 << "";
}

void TestHelpers::shortenToWidth()
{
    QFETCH(QString, text);
    QFETCH(int, maxWidth);
    QFETCH(QString, expected);
    int calls = 0;
    const auto width = [&calls](const QString &s) {
        ++calls;
        return int(s.size());
    };
    QCOMPARE(ShortenToWidth(text, width, maxWidth), expected);
    QVERIFY(calls <= text.size() + 1);
}

void TestHelpers::parseLogLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("timeText");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<QString>("comment");

    QTest::newRow("good word") << "14:03:07;ann@example.test;Ok" << "14:03:07" << "ann@example.test" << 2 << "Ok"
                               << "";
    QTest::newRow("bad word with the server's text")
        << "09:00:01; bob@example.test ;No;550 mailbox unavailable;extra" << "09:00:01" << "bob@example.test" << 3
        << "No" << "550 mailbox unavailable";
    QTest::newRow("two fields only") << "9:05:00;c@example.test" << "09:05:00" << "c@example.test" << 0 << ""
                                     << "";
    QTest::newRow("other word, unreadable time") << "noon;d@x;ok;c" << "00:00:00" << "d@x" << 0 << "" << "c";
    QTest::newRow("empty line") << "" << "00:00:00" << "" << 0 << "" << "";
}

void TestHelpers::parseLogLine()
{
    QFETCH(QString, line);
    QFETCH(QString, timeText);
    QFETCH(QString, address);
    QFETCH(int, status);
    QFETCH(QString, statusText);
    QFETCH(QString, comment);

    TLogDataObj record(QStringLiteral("Ok"), QStringLiteral("No"));
    record.ParseLine(QStringLiteral("23:59:59;stale@x;No;stale"));
    record.ParseLine(line);
    QCOMPARE(record.TimeText(), timeText);
    QCOMPARE(record.Address, address);
    QCOMPARE(record.Status, status);
    QCOMPARE(record.StatusText(), statusText);
    QCOMPARE(record.Comment, comment);
}

void TestHelpers::loadLog()
{
    const QString path = writeTemp(QStringLiteral("send_05-03-10_14-03-07.log"),
                                   "14:03:07;a@x;Ok\r\n14:03:08;b@x;No;550 no\r\n14:03:09;c@x;Ok");
    TLogListObj log(path, QStringLiteral("Ok"), QStringLiteral("No"));
    QVERIFY(log.Load());
    QCOMPARE(log.count(), 3);
    QCOMPARE(log.item(1)->Address, QStringLiteral("b@x"));
    QCOMPARE(log.item(1)->StatusText(), QStringLiteral("No"));
    QCOMPARE(log.item(2)->Status, int(TLogDataObj::StatusGood));
    QVERIFY(!log.item(3));

    // Loading again replaces the records; a missing file leaves none.
    QVERIFY(log.Load());
    QCOMPARE(log.count(), 3);
    TLogListObj missing(m_dir.filePath(QStringLiteral("none.log")), QStringLiteral("Ok"), QStringLiteral("No"));
    QVERIFY(!missing.Load());
    QCOMPARE(missing.count(), 0);
    log.Clear();
    QCOMPARE(log.count(), 0);
}

QTEST_GUILESS_MAIN(TestHelpers)
#include "tst_helpers.moc"
