#include "settings/inifile.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace varnholt;

class TestTextFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { SystemCharset::overrideForTesting({}); }

    void forEachLine_data();
    void forEachLine();
    void iniLookup();
    void iniKeepsOrderAndWritesCrLf();
    void systemCharsetLossless_data();
    void systemCharsetLossless();
    void atomicWritePermissions();

private:
    QTemporaryDir m_dir;
};

void TestTextFiles::forEachLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
    QTest::newRow("LF") << QByteArray("a\nb") << QStringList{"a", "b"};
    QTest::newRow("CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("mixed, empty lines kept") << QByteArray("a\r\n\n\rb") << QStringList{"a", "", "", "b"};
    QTest::newRow("LF CR is two line ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
    QTest::newRow("NUL ends the text") << QByteArray("a\nb\0c\nd", 7) << QStringList{"a", "b"};
    QTest::newRow("empty") << QByteArray() << QStringList{};
}

void TestTextFiles::forEachLine()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, lines);
    QStringList got;
    const qsizetype n = varnholt::forEachLine(text, [&](QByteArrayView l) { got.append(QString::fromLatin1(l)); });
    QCOMPARE(got, lines);
    QCOMPARE(n, lines.size());
}

void TestTextFiles::iniLookup()
{
    IniFile ini;
    ini.parse("[Default]\r\nDnsIP = \"10.0.0.1\" \r\nTimeOut=0x1E\r\nBad=12x\r\n; Count=9\r\n[ user ]\r\ncount=2\r\n");
    QCOMPARE(ini.value(u"default", u"DNSIP"), QStringLiteral("10.0.0.1"));
    QCOMPARE(ini.intValue(u"DEFAULT", u"timeout", 0), 30);
    QCOMPARE(ini.intValue(u"Default", u"Bad", 7), 7);
    QVERIFY(!ini.contains(u"Default", u"Count")); // a comment is no key
    QCOMPARE(ini.intValue(u"User", u"Count", 0), 2);
    QCOMPARE(ini.value(u"Missing", u"x", QStringLiteral("def")), QStringLiteral("def"));
    QVERIFY(ini.boolValue(u"Default", u"TimeOut", false));
}

void TestTextFiles::iniKeepsOrderAndWritesCrLf()
{
    IniFile ini;
    ini.parse("; first\n[B]\nz=1\na=2\n\n[A]\nk=v\n");
    ini.setValue(u"b", u"A", QStringLiteral("3\nnext"));
    ini.setValue(u"C", u"n", QStringLiteral("new"));
    QCOMPARE(ini.sections(), (QStringList{"B", "A", "C"}));
    QCOMPARE(ini.keys(u"B"), (QStringList{"z", "a"}));
    QCOMPARE(ini.serialize(), QByteArray("; first\r\n[B]\r\nz=1\r\na=3 next\r\n\r\n[A]\r\nk=v\r\n\r\n[C]\r\nn=new\r\n"));
}

void TestTextFiles::systemCharsetLossless_data()
{
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("validPart");
    QTest::newRow("UTF-8, invalid bytes") << QByteArray("UTF-8") << QByteArray("ok \xE9\xFF\xC3 end \xF0\x9F\x98\x80")
                                          << QStringLiteral(" end 😀");
    QTest::newRow("UTF-8, overlong and surrogate forms")
        << QByteArray("UTF-8") << QByteArray("\xC0\xAF \xED\xA0\x80") << QStringLiteral(" ");
    QTest::newRow("ISO-8859-1, high bytes") << QByteArray("ISO-8859-1") << QByteArray("\xA0\xE9\xFF")
                                            << QStringLiteral("éÿ");
}

void TestTextFiles::systemCharsetLossless()
{
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, validPart);
    SystemCharset::overrideForTesting(charset);
    const QString text = SystemCharset::toUnicode(bytes);
    QVERIFY2(text.contains(validPart), qPrintable(text));
    QCOMPARE(SystemCharset::fromUnicode(text), bytes);
}

void TestTextFiles::atomicWritePermissions()
{
    const QString path = m_dir.filePath(QStringLiteral("secret.ini"));
    QString error;
    QVERIFY(writeFileAtomically(path, "one\r\n", &error, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(readFileBytes(path).value_or(QByteArray()), QByteArray("one\r\n"));
    // Without permissions a rewrite keeps the file's own.
    QVERIFY(writeFileAtomically(path, "two\r\n"));
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(readFileBytes(path).value_or(QByteArray()), QByteArray("two\r\n"));
}

QTEST_GUILESS_MAIN(TestTextFiles)
#include "tst_textfiles.moc"
