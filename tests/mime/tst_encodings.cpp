#include "mime/encodings.h"
#include "settings/syscharset.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTest>
#include <QTimeZone>

using namespace varnholt;

namespace {

QByteArray readData(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return f.readAll();
}

// The decoded words of a folded header value, concatenated.
QByteArray decodeWords(const QByteArray &value, QByteArray *charset = nullptr)
{
    QByteArray all;
    for (QByteArray word : value.split('\n')) {
        word = word.trimmed();
        if (!word.startsWith("=?") || !word.endsWith("?="))
            return "not an encoded word: " + word;
        const QList<QByteArray> parts = word.mid(2, word.size() - 4).split('?');
        if (parts.size() != 3)
            return "bad word: " + word;
        if (charset)
            *charset = parts[0];
        if (parts[1] == "B") {
            all += QByteArray::fromBase64(parts[2]);
        } else {
            QByteArray q = parts[2];
            q.replace('_', ' ');
            all += QByteArray::fromPercentEncoding(q, '=');
        }
    }
    return all;
}

} // namespace

class TestEncodings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void base64Golden_data();
    void base64Golden();
    void qpGolden_data();
    void qpGolden();
    void qpRules();
    void needsQuotedPrintable_data();
    void needsQuotedPrintable();
    void charsetFromName_data();
    void charsetFromName();
    void convert_data();
    void convert();
    void eightBitTablesAgreeWithIcu();
    void utf7RoundTrip();
    void headerWordUnchangedForAscii();
    void headerWordSystemCharsetConversion();
    void headerWordSplitsBetweenCharacters_data();
    void headerWordSplitsBetweenCharacters();
    void headerWordFallsBackToUtf8();
    void headerValuesCannotInjectLines();
    void headerLine();
    void folding();
    void mailDate_data();
    void mailDate();
};

void TestEncodings::base64Golden_data()
{
    QTest::addColumn<QString>("name");
    for (const char *n : {"bytes0", "bytes1", "bytes2", "bytes3", "bytes45", "bytes46", "bytes1000"})
        QTest::newRow(n) << QString::fromLatin1(n);
}

void TestEncodings::base64Golden()
{
    QFETCH(QString, name);
    const QString base = QStringLiteral(VARNHOLT_TEST_DATA "/mime/base64/") + name;
    const QByteArray input = readData(base + ".in");
    const QByteArray expected = readData(base + ".expected");
    QByteArray lines;
    appendBase64Lines(lines, input, 60);
    QCOMPARE(lines, expected);
    QCOMPARE(Base64Encode(input), QByteArray(expected).replace("\r\n", ""));

    // Encoding in pieces of whole lines gives the same lines.
    QByteArray pieces;
    for (qsizetype i = 0; i < input.size(); i += 90)
        appendBase64Lines(pieces, QByteArrayView(input).sliced(i, qMin<qsizetype>(90, input.size() - i)), 60);
    QCOMPARE(pieces, expected);
}

void TestEncodings::qpGolden_data()
{
    QTest::addColumn<QString>("name");
    const QStringList files = QDir(QStringLiteral(VARNHOLT_TEST_DATA "/mime/qp")).entryList({"*.in"});
    QVERIFY(!files.isEmpty());
    for (const QString &f : files)
        QTest::newRow(qPrintable(f)) << f.chopped(3);
}

void TestEncodings::qpGolden()
{
    QFETCH(QString, name);
    const QString base = QStringLiteral(VARNHOLT_TEST_DATA "/mime/qp/") + name;
    const QByteArray input = readData(base + ".in");
    const QByteArray expected = readData(base + ".expected");
    int pos = 0;
    QCOMPARE(QpEncodeBody(input, pos), expected);

    // The line position carries over between chunks of one part.
    pos = 0;
    QByteArray chunked;
    for (qsizetype i = 0; i < input.size(); i += 7)
        chunked += QpEncodeBody(QByteArrayView(input).sliced(i, qMin<qsizetype>(7, input.size() - i)), pos);
    QCOMPARE(chunked, expected);
}

void TestEncodings::qpRules()
{
    int pos = 0;
    QCOMPARE(QpEncodeBody("a=b\r\n", pos), QByteArray("a=3Db=0D=0A"));

    // 71 plain characters: a soft break right after the 71st; the next
    // line starts at position 0, so a "." there is encoded.
    pos = 0;
    const QByteArray out = QpEncodeBody(QByteArray(71, 'x') + "..", pos);
    QCOMPARE(out, QByteArray(71, 'x') + "=\r\n=2E.");
    QCOMPARE(pos, 4);

    // Every encoded line holds at most 73 characters before its "=".
    pos = 0;
    const QByteArray mixed = QpEncodeBody(QByteArray("\xC3\xA9x").repeated(200), pos);
    for (const QByteArray &line : mixed.split('\n'))
        QVERIFY2(line.size() <= 76, line.constData());
}

void TestEncodings::needsQuotedPrintable_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("needs");
    QTest::addColumn<bool>("high");
    QTest::newRow("empty") << QByteArray() << false << false;
    QTest::newRow("printable ASCII with CR LF") << QByteArray("Hello, world!\r\n~ok\r\n") << false << false;
    QTest::newRow("one tab") << QByteArray("a\tb") << true << false;
    QTest::newRow("one high byte") << QByteArray("caf\xE9") << true << true;
    QTest::newRow("DEL") << QByteArray("a\x7F") << true << false;
}

void TestEncodings::needsQuotedPrintable()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, needs);
    QFETCH(bool, high);
    QCOMPARE(NeedsQuotedPrintable(text), needs);
    QCOMPARE(HasHighBytes(text), high);
}

void TestEncodings::charsetFromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<TMimeChar>("charset");
    QTest::newRow("iso-8859-10 before iso-8859-1") << "iso-8859-10" << TMimeChar::ISO_8859_10;
    QTest::newRow("iso-8859-15 is not listed") << "iso-8859-15" << TMimeChar::ISO_8859_1;
    QTest::newRow("iso-8859-2") << "ISO-8859-2" << TMimeChar::ISO_8859_2;
    QTest::newRow("iso-8859-9") << "iso-8859-9" << TMimeChar::ISO_8859_9;
    QTest::newRow("us-ascii") << "us-ascii" << TMimeChar::ISO_8859_1;
    QTest::newRow("big5") << "big5" << TMimeChar::ISO_8859_1;
    QTest::newRow("utf-8 anywhere") << "x-utf-8-whatever" << TMimeChar::UTF_8;
    QTest::newRow("x-cp1251") << "x-cp1251" << TMimeChar::CP1251;
    QTest::newRow("windows-1258") << "Windows-1258" << TMimeChar::CP1258;
    QTest::newRow("koi8-r") << "koi8-r" << TMimeChar::KOI8_R;
    QTest::newRow("utf-7") << "utf-7" << TMimeChar::UTF_7;
    QTest::newRow("ucs-4") << "Unicode-1-1-UCS-4" << TMimeChar::UCS_4;
    QTest::newRow("unicode") << "unicode" << TMimeChar::UCS_2;
    QTest::newRow("empty") << "" << TMimeChar::ISO_8859_1;
}

void TestEncodings::charsetFromName()
{
    QFETCH(QString, name);
    QFETCH(TMimeChar, charset);
    QCOMPARE(CharsetFromName(name), charset);
    // Every canonical name leads back to its own set.
    for (int i = 0; i < MimeCharCount; ++i)
        QCOMPARE(CharsetFromName(QString::fromLatin1(CharsetName(TMimeChar(i)))), TMimeChar(i));
}

void TestEncodings::convert_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<TMimeChar>("from");
    QTest::addColumn<TMimeChar>("to");
    QTest::addColumn<QByteArray>("expected"); // empty: not representable
    const QByteArray capitalA = "\xC0"; // U+0410 in windows-1251
    QTest::newRow("A to KOI8-R") << capitalA << TMimeChar::CP1251 << TMimeChar::KOI8_R << QByteArray("\xE1");
    QTest::newRow("A to UTF-8") << capitalA << TMimeChar::CP1251 << TMimeChar::UTF_8 << QByteArray("\xD0\x90");
    QTest::newRow("A to UTF-7") << capitalA << TMimeChar::CP1251 << TMimeChar::UTF_7 << QByteArray("+BBA-");
    QTest::newRow("A to UCS-2") << capitalA << TMimeChar::CP1251 << TMimeChar::UCS_2 << QByteArray("\x04\x10", 2);
    QTest::newRow("A to UCS-4") << capitalA << TMimeChar::CP1251 << TMimeChar::UCS_4
                                << QByteArray("\x00\x00\x04\x10", 4);
    QTest::newRow("plus sign in UTF-7") << QByteArray("1+1") << TMimeChar::UTF_8 << TMimeChar::UTF_7
                                        << QByteArray("1+-1");
    QTest::newRow("Cyrillic has no Latin-1 bytes")
        << QByteArray("ok \xC0") << TMimeChar::CP1251 << TMimeChar::ISO_8859_1 << QByteArray();
    QTest::newRow("UTF-8 e-acute to Latin-1") << QByteArray("caf\xC3\xA9") << TMimeChar::UTF_8
                                              << TMimeChar::ISO_8859_1 << QByteArray("caf\xE9");
    QTest::newRow("euro to windows-1252") << QByteArray("\xE2\x82\xAC") << TMimeChar::UTF_8 << TMimeChar::CP1252
                                          << QByteArray("\x80");
    QTest::newRow("euro not in ISO-8859-7 of 1987")
        << QByteArray("\xE2\x82\xAC") << TMimeChar::UTF_8 << TMimeChar::ISO_8859_7 << QByteArray();
    QTest::newRow("undefined byte becomes U+FFFD") << QByteArray("\xA4") << TMimeChar::ISO_8859_7
                                                   << TMimeChar::UTF_8 << QByteArray("\xEF\xBF\xBD");
    QTest::newRow("Greek alpha to ISO-8859-7") << QByteArray("\xCE\xB1") << TMimeChar::UTF_8
                                               << TMimeChar::ISO_8859_7 << QByteArray("\xE1");
    QTest::newRow("astral to UCS-2") << QByteArray("\xF0\x9F\x98\x80") << TMimeChar::UTF_8 << TMimeChar::UCS_2
                                     << QByteArray();
    QTest::newRow("ASCII, then Cyrillic, to KOI8-R") << QByteArray("Dear \xC0!") << TMimeChar::CP1251
                                                    << TMimeChar::KOI8_R << QByteArray("Dear \xE1!");
    QTest::newRow("ASCII, then astral, to UTF-8") << QByteArray("smile \xF0\x9F\x98\x80 ok") << TMimeChar::UTF_8
                                                  << TMimeChar::UTF_8 << QByteArray("smile \xF0\x9F\x98\x80 ok");
    QTest::newRow("ASCII to UCS-2") << QByteArray("ab") << TMimeChar::UTF_8 << TMimeChar::UCS_2
                                    << QByteArray("\x00\x61\x00\x62", 4);
    QTest::newRow("astral to UTF-8") << QByteArray("\xF0\x9F\x98\x80") << TMimeChar::UTF_8 << TMimeChar::UTF_8
                                     << QByteArray("\xF0\x9F\x98\x80");
}

void TestEncodings::convert()
{
    QFETCH(QByteArray, text);
    QFETCH(TMimeChar, from);
    QFETCH(TMimeChar, to);
    QFETCH(QByteArray, expected);
    const std::optional<QByteArray> out = ConvertCharset(text, from, to);
    if (expected.isEmpty()) {
        QVERIFY2(!out, out ? out->toHex().constData() : "");
    } else {
        QVERIFY(out);
        QCOMPARE(out->toHex(' '), expected.toHex(' '));
    }

    // Appending the program's own text gives the same bytes after what the
    // buffer already holds.
    const std::u32string cps = decodeCharset(text, from);
    QByteArray appended("head:");
    const bool appendedOk = appendEncoded(appended, QString::fromUcs4(cps.data(), qsizetype(cps.size())), to);
    QCOMPARE(appendedOk, out.has_value());
    if (out)
        QCOMPARE(appended.toHex(' '), ("head:" + *out).toHex(' '));
}

// The byte tables come from the C library; ICU (through Qt) is a second,
// independent source for the same published mappings.
void TestEncodings::eightBitTablesAgreeWithIcu()
{
    int compared = 0;
    for (int i = 0; i <= int(TMimeChar::KOI8_R); ++i) {
        const auto cs = TMimeChar(i);
        QStringDecoder decoder(CharsetName(cs).constData());
        QVERIFY2(decoder.isValid(), CharsetName(cs).constData());
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char32_t ours = eightBitCodePoint(cs, uchar(b));
            const QString icu = decoder.decode(QByteArray(1, char(b)));
            decoder.resetState();
            if (cs == TMimeChar::ISO_8859_7 && (b == 0xA4 || b == 0xA5 || b == 0xAA)) {
                QCOMPARE(ours, char32_t(0xFFFD));
                continue;
            }
            const char32_t theirs = icu.size() == 1 ? icu[0].unicode() : 0xFFFD;
            // Where ICU fills a hole of the published table with a C1
            // control or the byte's Latin-1 value, the byte is undefined.
            if (ours == 0xFFFD && ((theirs >= 0x80 && theirs <= 0x9F) || theirs == char32_t(b)))
                continue;
            QVERIFY2(ours == theirs, qPrintable(QStringLiteral("%1 byte %2: %3 vs %4")
                                                    .arg(QString::fromLatin1(CharsetName(cs)))
                                                    .arg(b, 2, 16)
                                                    .arg(uint(ours), 4, 16)
                                                    .arg(uint(theirs), 4, 16)));
            ++compared;
            // A defined byte converts back to itself.
            if (ours != 0xFFFD)
                QCOMPARE(encodeCharset(std::u32string(1, ours), cs), std::optional(QByteArray(1, char(b))));
        }
    }
    QVERIFY(compared > 2000);
}

void TestEncodings::utf7RoundTrip()
{
    const QString text = QStringLiteral("Hi + \u041F\u0440\u0438\u0432\u0435\u0442 \u65E5\u672C\u8A9E - \U0001F600!");
    const std::optional<QByteArray> utf7 = encodeCharset(codePoints(text), TMimeChar::UTF_7);
    QVERIFY(utf7);
    QVERIFY(!HasHighBytes(*utf7));
    // Decoded by the C library's UTF-7 decoder.
    QCOMPARE(decodeCharset(*utf7, TMimeChar::UTF_7), codePoints(text));
}

void TestEncodings::headerWordUnchangedForAscii()
{
    QCOMPARE(EncodeHeaderWord("Plain subject?", TMimeChar::KOI8_R, hcQuotedPrn), QByteArray("Plain subject?"));
    QCOMPARE(EncodeHeaderWord("", TMimeChar::UTF_8, hcBase64), QByteArray());
}

void TestEncodings::headerWordSystemCharsetConversion()
{
    // A windows-1251 system writing KOI8-R messages.
    SystemCharset::overrideForTesting("WINDOWS-1251");
    QCOMPARE(SystemMimeChar(), TMimeChar::CP1251);
    const QByteArray subject = "\xCF\xF0\xE8\xE2\xE5\xF2 \xEC\xE8\xF0?"; // "Привет мир?" in windows-1251
    const QByteArray word = EncodeHeaderWord(subject, TMimeChar::KOI8_R, hcQuotedPrn);
    SystemCharset::overrideForTesting({});
    QCOMPARE(word, QByteArray("=?KOI8-R?Q?=F0=D2=C9=D7=C5=D4_=CD=C9=D2=3F?="));
}

void TestEncodings::headerWordSplitsBetweenCharacters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<TMimeChar>("charset");
    QTest::addColumn<int>("coding");
    const QString cyrillic = QStringLiteral("\u0421\u043E\u043E\u0431\u0449\u0435\u043D\u0438\u0435 ").repeated(30);
    const QString cjk = QStringLiteral("\u65E5\u672C\u8A9E\u306E\u4EF6\u540D").repeated(40);
    QTest::newRow("Cyrillic UTF-8 Q") << cyrillic << TMimeChar::UTF_8 << int(hcQuotedPrn);
    QTest::newRow("Cyrillic UTF-8 B") << cyrillic << TMimeChar::UTF_8 << int(hcBase64);
    QTest::newRow("Cyrillic KOI8-R Q") << cyrillic << TMimeChar::KOI8_R << int(hcQuotedPrn);
    QTest::newRow("CJK UTF-8 B") << cjk << TMimeChar::UTF_8 << int(hcBase64);
    QTest::newRow("CJK UCS-2 Q") << cjk << TMimeChar::UCS_2 << int(hcQuotedPrn);
    QTest::newRow("long ASCII run without blanks") << QString(2000, u'a') << TMimeChar::UTF_8 << int(hcBase64);
}

void TestEncodings::headerWordSplitsBetweenCharacters()
{
    QFETCH(QString, text);
    QFETCH(TMimeChar, charset);
    QFETCH(int, coding);
    const QByteArray value = encodeHeaderWord(codePoints(text), charset, THdrCoding(coding));
    const QList<QByteArray> lines = value.split('\n');
    QVERIFY(lines.size() > 1);
    QByteArray decoded;
    for (const QByteArray &line : lines) {
        const QByteArray word = line.trimmed();
        QVERIFY2(word.size() <= 75, word.constData());
        // Each word on its own is whole characters of the charset.
        const QByteArray bytes = decodeWords(word);
        QCOMPARE(QByteArray(*encodeCharset(decodeCharset(bytes, charset), charset)), bytes);
        QVERIFY(decodeCharset(bytes, charset).find(U'\uFFFD') == std::u32string::npos);
        decoded += bytes;
    }
    QCOMPARE(decodeCharset(decoded, charset), codePoints(text));
}

void TestEncodings::headerWordFallsBackToUtf8()
{
    // Cyrillic cannot be written in Latin-1: the word says UTF-8 instead of
    // carrying other characters.
    const QString name = QStringLiteral("\u0418\u0432\u0430\u043D");
    QByteArray charset;
    const QByteArray decoded = decodeWords(encodeHeaderWord(codePoints(name), TMimeChar::ISO_8859_1, hcBase64), &charset);
    QCOMPARE(charset, QByteArray("UTF-8"));
    QCOMPARE(QString::fromUtf8(decoded), name);
}

void TestEncodings::headerValuesCannotInjectLines()
{
    const QByteArray evil = "Hello\r\nBcc: victim@example.com\nX: y\rZ";
    for (const QByteArray &out : {EncodeHeaderWord(evil, TMimeChar::UTF_8, hcQuotedPrn),
                                  EncodeHeaderLine("Subject: " + evil, TMimeChar::UTF_8, hcQuotedPrn),
                                  EncodeHeaderLine(evil, TMimeChar::UTF_8, hcQuotedPrn),
                                  EncodeHeaderWord(evil + " \xC3\xA9", TMimeChar::UTF_8, hcQuotedPrn)}) {
        // Only folds (CR LF followed by a blank) may break the value.
        QByteArray unfolded = out;
        unfolded.replace("\r\n ", " ");
        QVERIFY2(!unfolded.contains('\r') && !unfolded.contains('\n'), out.constData());
    }
}

void TestEncodings::headerLine()
{
    QCOMPARE(EncodeHeaderLine("Subject: Hello", TMimeChar::UTF_8, hcQuotedPrn), QByteArray("Subject: Hello"));
    QCOMPARE(EncodeHeaderLine("NoColonHere", TMimeChar::UTF_8, hcQuotedPrn), QByteArray("NoColonHere"));
    QCOMPARE(EncodeHeaderLine("Subject: caf\xC3\xA9", TMimeChar::ISO_8859_1, hcQuotedPrn),
             QByteArray("Subject: =?ISO-8859-1?Q?caf=E9?="));
    // At most 999 characters of the value are kept.
    const QByteArray line = EncodeHeaderLine("Subject: " + QByteArray("ab ").repeated(500), TMimeChar::UTF_8,
                                             hcQuotedPrn);
    QCOMPARE(line.size(), qsizetype(9 + 999));

    // The program's own text gives what its code points give.
    const QStringList lines{QStringLiteral("Subject: Hello"), QStringLiteral("NoColonHere"), QString(),
                            QStringLiteral("Subject: caf\u00E9"), QStringLiteral("X: a\r\nBcc: b\0c"),
                            QStringLiteral("Subject: ") + QStringLiteral("ab ").repeated(500),
                            QStringLiteral("Subject: ") + QString(950, u'a'), QStringLiteral("From: \"Desk\"")};
    for (const QString &text : lines) {
        for (const TMimeChar charset : {TMimeChar::ISO_8859_1, TMimeChar::UTF_8}) {
            QCOMPARE(encodeHeaderLine(QStringView(text), charset, hcQuotedPrn),
                     encodeHeaderLine(codePoints(text), charset, hcQuotedPrn));
            QCOMPARE(encodeHeaderWord(QStringView(text), charset, hcBase64),
                     encodeHeaderWord(codePoints(text), charset, hcBase64));
        }
    }
}

void TestEncodings::folding()
{
    const QByteArray line = "Subject: " + QByteArray("word ").repeated(60) + "end  ";
    const QByteArray folded = foldHeaderLine(line);
    for (const QByteArray &piece : folded.split('\n')) {
        QVERIFY(piece.size() <= 79);
        QVERIFY(!piece.trimmed().isEmpty());
    }
    QCOMPARE(QByteArray(folded).replace("\r\n", ""), line);
    // Short lines and existing folds stay.
    QCOMPARE(foldHeaderLine("To: a@b"), QByteArray("To: a@b"));
    QCOMPARE(foldHeaderLine("X: a\r\n b"), QByteArray("X: a\r\n b"));
}

void TestEncodings::mailDate_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QByteArray>("text");
    const QDate d(2002, 3, 5);
    const QTime t(9, 7, 3);
    QTest::newRow("UTC") << QDateTime(d, t, QTimeZone::utc()) << QByteArray("5 Mar 2002 09:07:03 +0000");
    QTest::newRow("fixed +0300") << QDateTime(d, t, QTimeZone(3 * 3600)) << QByteArray("5 Mar 2002 09:07:03 +0300");
    QTest::newRow("Berlin, winter") << QDateTime(d, t, QTimeZone("Europe/Berlin"))
                                    << QByteArray("5 Mar 2002 09:07:03 +0100");
    QTest::newRow("Berlin, summer time") << QDateTime(QDate(2002, 7, 15), t, QTimeZone("Europe/Berlin"))
                                         << QByteArray("15 Jul 2002 09:07:03 +0200");
    QTest::newRow("New York, summer time") << QDateTime(QDate(2024, 8, 1), QTime(23, 59, 59),
                                                        QTimeZone("America/New_York"))
                                           << QByteArray("1 Aug 2024 23:59:59 -0400");
    QTest::newRow("half-hour zone") << QDateTime(QDate(2031, 12, 31), QTime(0, 0), QTimeZone("Asia/Kolkata"))
                                    << QByteArray("31 Dec 2031 00:00:00 +0530");
}

void TestEncodings::mailDate()
{
    QFETCH(QDateTime, when);
    QFETCH(QByteArray, text);
    QVERIFY(when.isValid());
    QCOMPARE(MailDate(when), text);
}

QTEST_GUILESS_MAIN(TestEncodings)
#include "tst_encodings.moc"
