// The wire form of the MX and A queries and the decoding of responses,
// without a network: request bytes, names with compression, the tables'
// limits, and the hostile packets of tests/data/dns-corpus (the fuzz
// target's seeds).
#include "dns/dnsmessage.h"
#include "udppeer.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace varnholt::dns;

class TestDnsMessage : public QObject
{
    Q_OBJECT

private slots:
    void request_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QByteArray>("qname"); // empty: refused
        QTest::addColumn<int>("qtype");

        QTest::newRow("two labels") << "example.com" << QByteArray("\x07" "example" "\x03" "com", 12) + '\0' << int(TypeMx);
        QTest::newRow("A query") << "mx1.example.com" << QByteArray("\x03" "mx1" "\x07" "example" "\x03" "com", 16) + '\0'
                                 << int(TypeA);
        QTest::newRow("trailing dot adds no label")
            << "example.com." << QByteArray("\x07" "example" "\x03" "com", 12) + '\0' << int(TypeMx);
        QTest::newRow("empty name") << "" << QByteArray(1, '\0') << int(TypeMx);
        QTest::newRow("root") << "." << QByteArray(1, '\0') << int(TypeMx);
        QTest::newRow("63-byte label") << QString(63, u'a') + ".test"
                                       << '\x3f' + QByteArray(63, 'a') + "\x04test" + '\0' << int(TypeMx);
        QTest::newRow("Latin-1 kept as bytes") << QString::fromLatin1("caf\xe9.test")
                                               << QByteArray("\x04" "caf\xe9" "\x04" "test") + '\0' << int(TypeMx);
        QTest::newRow("64-byte label") << QString(64, u'a') + ".test" << QByteArray() << int(TypeMx);
        QTest::newRow("empty label inside") << "a..test" << QByteArray() << int(TypeMx);
        QTest::newRow("leading dot") << ".test" << QByteArray() << int(TypeMx);
        QTest::newRow("beyond Latin-1") << QString::fromUtf8("\xd0\xb4.test") << QByteArray() << int(TypeMx);
        // 4 x 63-byte labels: 4 * 64 + 1 = 257 bytes.
        QTest::newRow("name over 255 bytes") << (QString(63, u'b') + '.').repeated(4) << QByteArray() << int(TypeMx);
    }

    void request()
    {
        QFETCH(QString, domain);
        QFETCH(QByteArray, qname);
        QFETCH(int, qtype);
        const auto request = queryRequest(0x1234, domain, quint16(qtype));
        if (qtype == TypeMx)
            QCOMPARE(mxRequest(0x1234, domain), request);
        if (qname.isEmpty()) {
            QVERIFY(!request);
            return;
        }
        QVERIFY(request);
        QCOMPARE(*request, QByteArray::fromHex("123401000001000000000000") + qname + char(qtype >> 8) + char(qtype)
                               + QByteArray::fromHex("0001"));
        QVERIFY(request->size() <= MaxRequest);
    }

    void decodesHeaderAndQuestion()
    {
        Packet p;
        // QR, opcode 2, AA, TC, RD, RA, RCODE 3.
        p.header(0xBEEF, 0x8000 | (2 << 11) | 0x0400 | 0x0200 | 0x0100 | 0x0080 | 3, 1, 0, 4, 5).mxQuestion("Example.Test");
        const DecodeResult r = decodeResponse(p.bytes());
        QCOMPARE(r.status, DecodeStatus::Ok);
        QCOMPARE(r.response.id, 0xBEEF);
        QCOMPARE(r.response.opcode, 2);
        QCOMPARE(r.response.replyCode, 3);
        QVERIFY(r.response.authoritative && r.response.truncated && r.response.recursionAvailable);
        QCOMPARE(r.response.authorityCount, 4);
        QCOMPARE(r.response.additionalCount, 5);
        QCOMPARE(r.response.questionName, QStringLiteral("Example.Test"));
        QVERIFY(sameName(r.response.questionWire, *encodeName("example.test")));
        QVERIFY(!sameName(r.response.questionWire, *encodeName("example.tesu")));
        QCOMPARE(r.response.questionType, 15);
        QCOMPARE(r.response.questionClass, 1);
    }

    // Names: a label followed by a pointer to an earlier two-label name is
    // the three labels joined; a pointer to a pointer is followed. The same
    // holds for a CNAME's canonical name.
    void compressedNames()
    {
        Packet p;
        p.header(1, 0x8180, 1, 4).mxQuestion("example.test"); // name at 12
        const int mxStart = int(p.size()) + 12 + 2;            // first answer's exchange
        p.pointer(12).u16(15).u16(1).u32(60).u16(2 + 6).u16(10).u8(3).raw("mx1").pointer(12);
        p.pointer(mxStart).u16(15).u16(1).u32(60).u16(2 + 2).u16(20).pointer(mxStart);
        p.pointer(12).u16(1).u16(1).u32(7).u16(4).u8(192).u8(0).u8(2).u8(9);
        p.pointer(12).u16(5).u16(1).u32(60).u16(4 + 2).u8(3).raw("www").pointer(12);
        const DecodeResult r = decodeResponse(p.bytes());
        QCOMPARE(r.status, DecodeStatus::Ok);
        QCOMPARE(r.response.answers.size(), 4);
        QCOMPARE(r.response.answers.at(3).target, QStringLiteral("www.example.test"));
        QCOMPARE(r.response.answers.at(3).slot, -1);
        QCOMPARE(r.response.answers.at(0).target, QString());
        QCOMPARE(r.response.answers.at(0).name, QStringLiteral("example.test"));
        QCOMPARE(r.response.mxHost, (QList<QString>{"mx1.example.test", "mx1.example.test"}));
        QCOMPARE(r.response.answers.at(1).name, QStringLiteral("mx1.example.test"));
        QCOMPARE(r.response.mxPreference, (QList<quint16>{10, 20}));
        QCOMPARE(r.response.answers.at(2).slot, 0);
        QCOMPARE(r.response.answers.at(2).ttl, 7u);
        // The address keeps its network byte order.
        const quint32 a = r.response.addresses.at(0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&a), 4), QByteArray::fromHex("c0000209"));
    }

    void tablesHoldFiftyEntries()
    {
        Packet p;
        p.header(1, 0x8180, 1, 60).mxQuestion("example.test");
        for (int i = 0; i < 60; ++i)
            p.pointer(12).u16(15).u16(1).u32(60).u16(4).u16(i).pointer(12);
        const DecodeResult r = decodeResponse(p.bytes());
        QCOMPARE(r.status, DecodeStatus::Ok);
        QCOMPARE(r.response.answerCount, 60);
        QCOMPARE(r.response.answers.size(), TableSize);
        QCOMPARE(r.response.mxHost.size(), TableSize);
        QCOMPARE(r.response.answers.last().slot, 49);
        QCOMPARE(r.response.mxPreference.last(), 49);
    }

    // Every packet of the corpus: its name says what it must decode to,
    // and nothing may read outside it (the sanitizers watch).
    void corpus()
    {
        const QDir dir(QStringLiteral(VARNHOLT_TEST_DATA "/dns-corpus"));
        const QStringList files = dir.entryList({"*.bin"}, QDir::Files);
        QVERIFY(files.size() >= 10);
        for (const QString &file : files) {
            QFile f(dir.filePath(file));
            QVERIFY(f.open(QIODevice::ReadOnly));
            // A copy of exactly the file's size, so that a read past it is
            // a read past the allocation.
            const QByteArray bytes = f.readAll();
            const DecodeResult r = decodeResponse(bytes);
            const DecodeStatus expected = file.startsWith("ok-")          ? DecodeStatus::Ok
                                          : file.startsWith("malformed-") ? DecodeStatus::Malformed
                                                                          : DecodeStatus::NotAResponse;
            QVERIFY2(r.status == expected, qPrintable(file));
            QVERIFY(r.response.answers.size() <= TableSize);
            if (file == "ok-truncated-mid-record.bin") {
                QVERIFY(r.response.truncated);
                QCOMPARE(r.response.answerCount, 3);
                QCOMPARE(r.response.mxHost, QList<QString>{"mx1.example.test"});
            }
            if (file == "ok-sixty-mx.bin")
                QCOMPARE(r.response.mxHost.size(), TableSize);
        }
    }
};

QTEST_GUILESS_MAIN(TestDnsMessage)
#include "tst_dnsmessage.moc"
