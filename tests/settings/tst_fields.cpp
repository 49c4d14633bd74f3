#include "settings/fields.h"

#include <QTest>

using namespace varnholt;

class TestFields : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void splitFields_data();
    void splitFields();
    void escaping_data();
    void escaping();
    void unescapeLeavesOtherPercents_data();
    void unescapeLeavesOtherPercents();
    void charsetOfEntry_data();
    void charsetOfEntry();
};

void TestFields::splitFields_data()
{
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("pieces");
    QTest::newRow("empty text") << "^" << "" << QStringList{};
    QTest::newRow("two fields, trailing separator") << "^" << "a^b^" << QStringList{"a", "b"};
    QTest::newRow("adjacent separators") << ";" << "a;;b" << QStringList{"a", "", "b"};
    QTest::newRow("separator first") << ";" << ";a" << QStringList{"", "a"};
    QTest::newRow("blanks trimmed") << ";" << "  x ;\ty\t" << QStringList{"x", "y"};
}

void TestFields::splitFields()
{
    QFETCH(QString, separator);
    QFETCH(QString, text);
    QFETCH(QStringList, pieces);
    QCOMPARE(SplitFields(separator, text), pieces);
}

void TestFields::escaping_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("caret") << "a^b" << "a%5Eb";
    QTest::newRow("literal %5E survives") << "%5E" << "%255E";
    QTest::newRow("plain") << "smtp.example.test" << "smtp.example.test";
    QTest::newRow("percent at the end") << "50%" << "50%25";
}

void TestFields::escaping()
{
    QFETCH(QString, value);
    QFETCH(QString, escaped);
    QCOMPARE(EscapeField(value), escaped);
    QCOMPARE(UnescapeField(escaped), value);
    QVERIFY(!EscapeField(value).contains(u'^'));
}

void TestFields::unescapeLeavesOtherPercents_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("lower-case hex is not a code") << "%5e" << "%5e";
    QTest::newRow("one digit at the end") << "x%4" << "x%4";
    QTest::newRow("percent alone") << "%" << "%";
    QTest::newRow("not hex") << "%G1%41" << "%G1A";
    QTest::newRow("scan continues after the code") << "%2541" << "%41";
}

void TestFields::unescapeLeavesOtherPercents()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(UnescapeField(text), expected);
}

void TestFields::charsetOfEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("charset");
    QTest::newRow("language and charset") << "English(en),iso-8859-1" << "iso-8859-1";
    QTest::newRow("no comma") << "utf-8" << "utf-8";
    QTest::newRow("first comma counts") << "Lang(x),a,b" << "a,b";
    QTest::newRow("empty") << "" << "";
}

void TestFields::charsetOfEntry()
{
    QFETCH(QString, entry);
    QFETCH(QString, charset);
    QCOMPARE(CharsetOfEntry(entry), charset);
}

QTEST_GUILESS_MAIN(TestFields)
#include "tst_fields.moc"
