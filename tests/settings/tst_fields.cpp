#include "settings/fields.h"

#include <QTest>

using namespace varnholt;

class TestFields : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void splitFields_data();
    void splitFields();
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

QTEST_GUILESS_MAIN(TestFields)
#include "tst_fields.moc"
