#include "mime/mimeassembler.h"

#include "messagejudge.h"
#include "testfiles.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

struct Events {
    QStringList log; // "size 12", "progress 12", "file /p", "error /p"
};

QByteArray assemble(const MimeInputs &inputs, Events *events = nullptr, QList<QByteArray> *chunks = nullptr,
                    QList<QByteArray> *boundaries = nullptr)
{
    MimeAssembler a(inputs);
    if (events) {
        QObject::connect(&a, &MimeAssembler::miPartSize, [events](qint64 n) { events->log << QStringLiteral("size %1").arg(n); });
        QObject::connect(&a, &MimeAssembler::miPartProgress,
                         [events](qint64 n) { events->log << QStringLiteral("progress %1").arg(n); });
        QObject::connect(&a, &MimeAssembler::miFile, [events](const QString &p) { events->log << "file " + p; });
        QObject::connect(&a, &MimeAssembler::miFileError, [events](const QString &p) { events->log << "error " + p; });
    }
    if (boundaries)
        *boundaries = a.boundaries();
    QByteArray all;
    while (!a.atEnd()) {
        const QByteArray chunk = a.nextChunk();
        if (chunks)
            chunks->append(chunk);
        all += chunk;
    }
    return all;
}

QByteArray bytesOf(int n, int seed)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((i * 131 + seed * 17 + 0x80) & 0xFF));
    return b;
}

// The message's MIME skeleton: Content-Type lines and boundary lines, with
// the boundaries named by their role.
QStringList skeleton(const QByteArray &message, const QList<QByteArray> &boundaries, const QStringList &names)
{
    QStringList out;
    for (QByteArray line : message.split('\n')) {
        line = line.trimmed();
        if (line.startsWith("Content-Type:"))
            out << QString::fromLatin1(line.left(line.indexOf(';') < 0 ? line.size() : line.indexOf(';')));
        else if (line.startsWith("--")) {
            for (qsizetype i = 0; i < boundaries.size(); ++i)
                line.replace(boundaries[i], names[i].toLatin1());
            out << QString::fromLatin1(line);
        }
    }
    return out;
}

} // namespace

class TestMimeAssembler : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void plainAsciiMessage();
    void dotStuffing();
    void quotedPrintableBody();
    void structures_data();
    void structures();
    void textPartEvents();
    void missingFileGoesOn();
    void abortStopsEverything();
    void chunksAreWholeLines();
    void boundariesDifferBetweenMessages();
    void cyrillicFileName();
    void mediaTypes();
    void headerInjection();
    void unrepresentableGoesOutAsUtf8();
    void independentJudge();
    void nonAsciiSubjects();

private:
    QTemporaryDir m_dir;
    QString m_pdf, m_png, m_gif, m_unknown;
};

void TestMimeAssembler::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_pdf = m_dir.filePath("report.pdf");
    m_png = m_dir.filePath("logo.png");
    m_gif = m_dir.filePath("dot.gif");
    m_unknown = m_dir.filePath("blob.bin");
    QVERIFY(writeFile(m_pdf, "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n"));
    QVERIFY(writeFile(m_png, QByteArray("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16) + bytesOf(200, 1)));
    QVERIFY(writeFile(m_gif, QByteArray("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13) + bytesOf(30, 2)));
    QVERIFY(writeFile(m_unknown, bytesOf(300, 3)));
}

void TestMimeAssembler::plainAsciiMessage()
{
    MimeInputs in;
    in.FROM_Name = "Ann Sender";
    in.FROM_Address = "ann@example.com";
    in.ListTo = {"bob@example.com|Bob", "carl@example.com"};
    in.Listcc = {"dora@example.com|"};
    in.Subject = "Hello";
    in.Headers = {"Date: 5 Mar 2002 09:07:03 +0300", "X-Mailer: Varnholt 2.1"};
    in.Charset = "us-ascii";
    in.MimeChar = TMimeChar::ISO_8859_1;
    in.MailText = {"Line one", "", "Line three"};
    QCOMPARE(assemble(in), QByteArray("From: Ann Sender <ann@example.com>\r\n"
                                      "To: Bob <bob@example.com>\r\n"
                                      "To: carl@example.com\r\n"
                                      "cc: dora@example.com\r\n"
                                      "Subject: Hello\r\n"
                                      "Mime-Version: 1.0\r\n"
                                      "Date: 5 Mar 2002 09:07:03 +0300\r\n"
                                      "X-Mailer: Varnholt 2.1\r\n"
                                      "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                                      "\r\n"
                                      "Line one\r\n"
                                      "\r\n"
                                      "Line three\r\n"
                                      "\r\n"
                                      ".\r\n"));
}

void TestMimeAssembler::dotStuffing()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = {".", "..x", "a.b", ".end"};
    const QByteArray msg = assemble(in);
    QVERIFY(msg.contains("\r\n\r\n..\r\n...x\r\na.b\r\n..end\r\n\r\n.\r\n"));
    // A header line that starts with a dot is stuffed as well.
    in.Headers = {".X-Dot: 1"};
    QVERIFY(assemble(in).contains("\r\n..X-Dot: 1\r\n"));
    // Dot lines right where the text is taken in pieces of 2048 bytes.
    in.Headers.clear();
    in.MailText = {QString(998, u'x'), QString(998, u'x'), QString(46, u'x'), ".cut", "..", QString(990, u'y'), "."};
    QVERIFY(assemble(in).contains("x\r\n..cut\r\n...\r\n" + QByteArray(990, 'y') + "\r\n..\r\n\r\n.\r\n"));
}

void TestMimeAssembler::quotedPrintableBody()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.Charset = "UTF-8";
    in.MailText = {QString(80, u'x'), QStringLiteral("caf\u00E9")};
    const QByteArray msg = assemble(in);
    QVERIFY(msg.contains("Content-Type: text/plain; charset=\"UTF-8\"\r\n"
                         "Content-Transfer-Encoding: quoted-printable\r\n\r\n"));
    const QByteArray body = msg.mid(msg.indexOf("\r\n\r\n") + 4);
    QCOMPARE(body, QByteArray(71, 'x') + "=\r\n" + QByteArray(9, 'x') + "=0D=0Acaf=C3=A9=0D=0A\r\n.\r\n");
}

void TestMimeAssembler::structures_data()
{
    QTest::addColumn<bool>("t");
    QTest::addColumn<bool>("h");
    QTest::addColumn<bool>("p");
    QTest::addColumn<bool>("a");
    QTest::addColumn<QStringList>("expected");
    const QString plain = "Content-Type: text/plain", html = "Content-Type: text/html";
    const QString pic = "Content-Type: image/png", att = "Content-Type: application/pdf";
    QTest::newRow("plain text only") << true << false << false << false << QStringList{plain};
    QTest::newRow("HTML only") << false << true << false << false << QStringList{html};
    QTest::newRow("plain and HTML") << true << true << false << false
                                    << QStringList{"Content-Type: multipart/alternative", "--A", plain, "--A", html, "--A--"};
    QTest::newRow("HTML and pictures")
        << false << true << true << false
        << QStringList{"Content-Type: multipart/related", "--R", html, "--R", pic, "--R", pic, "--R--"};
    QTest::newRow("plain, HTML and pictures")
        << true << true << true << false
        << QStringList{"Content-Type: multipart/alternative", "--A", plain, "--A", "Content-Type: multipart/related",
                       "--R", html, "--R", pic, "--R", pic, "--R--", "--A--"};
    QTest::newRow("plain and attachments")
        << true << false << false << true << QStringList{"Content-Type: multipart/mixed", "--M", plain, "--M", att, "--M--"};
    QTest::newRow("HTML and attachments")
        << false << true << false << true << QStringList{"Content-Type: multipart/mixed", "--M", html, "--M", att, "--M--"};
    QTest::newRow("plain, HTML and attachments")
        << true << true << false << true
        << QStringList{"Content-Type: multipart/mixed", "--M", "Content-Type: multipart/alternative", "--A", plain,
                       "--A", html, "--A--", "--M", att, "--M--"};
    QTest::newRow("HTML, pictures and attachments")
        << false << true << true << true
        << QStringList{"Content-Type: multipart/mixed", "--M", "Content-Type: multipart/related", "--R", html, "--R",
                       pic, "--R", pic, "--R--", "--M", att, "--M--"};
    QTest::newRow("all four") << true << true << true << true
                              << QStringList{"Content-Type: multipart/mixed", "--M", "Content-Type: multipart/alternative",
                                             "--A", plain, "--A", "Content-Type: multipart/related", "--R", html, "--R",
                                             pic, "--R", pic, "--R--", "--A--", "--M", att, "--M--"};
    QTest::newRow("attachments only") << false << false << false << true
                                      << QStringList{"Content-Type: multipart/mixed", "--M", att, "--M--"};
    QTest::newRow("nothing") << false << false << false << false << QStringList{plain};
}

void TestMimeAssembler::structures()
{
    QFETCH(bool, t);
    QFETCH(bool, h);
    QFETCH(bool, p);
    QFETCH(bool, a);
    QFETCH(QStringList, expected);
    MimeInputs in;
    in.FROM_Address = "a@b";
    if (t)
        in.MailText = {"plain"};
    if (h) {
        in.TypeContent = tcHtml;
        in.Content_Type = "text/html";
        in.HtmlText = {"<p>html</p>"};
    }
    if (p) {
        in.HtmlFiles = {m_png, m_png};
        in.HtmlCids = {"c1", "c2"};
    }
    if (a)
        in.Attachments = {m_pdf};
    QList<QByteArray> boundaries;
    const QByteArray msg = assemble(in, nullptr, nullptr, &boundaries);
    QStringList names;
    if (a)
        names << "M";
    if (t && h)
        names << "A";
    if (p)
        names << "R";
    QCOMPARE(boundaries.size(), names.size());
    for (const QByteArray &b : boundaries)
        QVERIFY(QRegularExpression("^-{10}([0-9A-F]{1,2}){12}$").match(QString::fromLatin1(b)).hasMatch());
    QCOMPARE(skeleton(msg, boundaries, names), expected);
    QVERIFY(msg.endsWith("\r\n.\r\n"));
    // Multipart: the plain part has no transfer encoding when 7-bit; the
    // HTML part always has one.
    if (t && (h || a))
        QVERIFY(msg.contains("Content-Type: text/plain; charset=\"UTF-8\"\r\n\r\nplain\r\n"));
    if (h && (t || a || p))
        QVERIFY(msg.contains("Content-Type: text/html; charset=\"UTF-8\"\r\nContent-Transfer-Encoding: 7bit\r\n"));
}

void TestMimeAssembler::textPartEvents()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = {QString(3000, u'a')}; // 3002 bytes with its CR LF
    in.Attachments = {m_pdf};
    Events ev;
    assemble(in, &ev);
    QCOMPARE(ev.log, (QStringList{"size 3002", "progress 2048", "progress 3002", "file " + m_pdf}));
}

void TestMimeAssembler::missingFileGoesOn()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = {"text"};
    const QString gone = m_dir.filePath("gone.pdf");
    in.Attachments = {gone, m_dir.path(), m_pdf};
    Events ev;
    const QByteArray msg = assemble(in, &ev);
    QCOMPARE(ev.log.mid(2), (QStringList{"file " + gone, "error " + gone, "file " + m_dir.path(),
                                         "error " + m_dir.path(), "file " + m_pdf}));
    QCOMPARE(msg.count("Content-Disposition: attachment"), 1);
    QVERIFY(msg.contains("filename=\"report.pdf\""));
    QVERIFY(msg.endsWith("--\r\n.\r\n"));
}

void TestMimeAssembler::abortStopsEverything()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = {"text"};
    in.Attachments = {m_pdf, m_unknown};
    MimeAssembler a(in);
    connect(&a, &MimeAssembler::miFile, &a, [&a](const QString &path) {
        if (path.endsWith("blob.bin"))
            a.abort();
    });
    QByteArray all;
    int calls = 0;
    while (!a.atEnd() && ++calls < 100)
        all += a.nextChunk();
    QVERIFY(a.isAborted());
    QVERIFY(!all.contains("blob.bin"));
    QVERIFY(!all.endsWith(".\r\n"));
    QVERIFY(a.nextChunk().isEmpty());
}

void TestMimeAssembler::chunksAreWholeLines()
{
    const QString big = m_dir.filePath("big.bin");
    QVERIFY(writeFile(big, bytesOf(225000, 9)));
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = QStringList(5000, QStringLiteral("line of text"));
    in.Attachments = {big};
    QList<QByteArray> chunks;
    const QByteArray msg = assemble(in, nullptr, &chunks);
    QVERIFY(chunks.size() > 5);
    for (const QByteArray &c : chunks) {
        QVERIFY(c.endsWith("\r\n"));
        QVERIFY(c.size() <= 70 * 1024);
    }
    // Base64 lines of 60 characters: 225000 bytes make 5000 full lines.
    const qsizetype start = msg.indexOf("\r\n\r\n", msg.indexOf("filename=\"big.bin\"")) + 4;
    const QList<QByteArray> lines = msg.mid(start).split('\n');
    for (int i = 0; i < 5000; ++i)
        QCOMPARE(lines[i].size(), qsizetype(61));
    QCOMPARE(lines[5000], QByteArray("\r")); // the empty line that ends the part
    const QByteArray decoded = QByteArray::fromBase64(msg.mid(start, 5000 * 62));
    const QByteArray original = bytesOf(225000, 9);
    qsizetype firstDiff = 0;
    while (firstDiff < decoded.size() && decoded[firstDiff] == original[firstDiff])
        ++firstDiff;
    QCOMPARE(firstDiff, original.size());
}

void TestMimeAssembler::boundariesDifferBetweenMessages()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.MailText = {"x"};
    in.TypeContent = tcHtml;
    in.HtmlText = {"y"};
    in.HtmlFiles = {m_png};
    in.HtmlCids = {"c"};
    in.Attachments = {m_pdf};
    const QList<QByteArray> first = MimeAssembler(in).boundaries();
    const QList<QByteArray> second = MimeAssembler(in).boundaries();
    QCOMPARE(first.size(), 3);
    QCOMPARE(QSet<QByteArray>(first.begin(), first.end()).size(), 3);
    QVERIFY(first != second);
}

void TestMimeAssembler::cyrillicFileName()
{
    const QString path = m_dir.filePath(QStringLiteral("\u041E\u0442\u0447\u0451\u0442.pdf"));
    QVERIFY(QFile::copy(m_pdf, path));
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.Charset = "koi8-r";
    in.MimeChar = TMimeChar::KOI8_R;
    in.Attachments = {path};
    const QByteArray msg = assemble(in);
    QVERIFY2(msg.contains("Content-Disposition: attachment; filename=\"=?KOI8-R?Q?=EF=D4=DE=A3=D4=2Epdf?=\""),
             msg.constData());
}

void TestMimeAssembler::mediaTypes()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.TypeContent = tcHtml;
    in.HtmlText = {"<img src=cid:a><img src=cid:b>"};
    in.HtmlFiles = {m_png, m_gif};
    in.HtmlCids = {"a", "b"};
    in.Attachments = {m_pdf, m_unknown};
    const QByteArray msg = assemble(in);
    QVERIFY(msg.contains("Content-Type: image/png\r\nContent-ID: <a>\r\n"));
    QVERIFY(msg.contains("Content-Type: image/gif\r\nContent-ID: <b>\r\n"));
    QVERIFY(msg.contains("Content-Type: application/pdf;\r\n"));
    QVERIFY(msg.contains("Content-Type: application/octet-stream;\r\n"));
    QVERIFY(!msg.contains("image/jpeg"));
}

void TestMimeAssembler::headerInjection()
{
    MimeInputs in;
    in.FROM_Name = "Eve\r\nBcc: all@example.com";
    in.FROM_Address = "eve@example.com\r\nX-Injected: 1";
    in.ListTo = {"bob@example.com\n|Bob\rX-Injected: 2"};
    in.Subject = "Hi\r\n\r\nbody injected";
    in.Headers = {"", "no header here", "Reply-To: r@example.com\nX-Injected: 3"};
    in.MailText = {"text"};
    const QByteArray msg = assemble(in);
    const QByteArray head = msg.left(msg.indexOf("\r\n\r\n"));
    for (const QByteArray &line : head.split('\n')) {
        QVERIFY2(!line.startsWith("Bcc") && !line.startsWith("X-Injected") && !line.startsWith("body"),
                 line.constData());
    }
    QVERIFY(!head.contains("no header here"));
    QVERIFY(head.contains("Subject: Hi    body injected\r\n"));
}

void TestMimeAssembler::unrepresentableGoesOutAsUtf8()
{
    MimeInputs in;
    in.FROM_Address = "a@b";
    in.Charset = "iso-8859-1";
    in.MimeChar = TMimeChar::ISO_8859_1;
    in.Subject = QStringLiteral("caf\u00E9");
    in.MailText = {QStringLiteral("caf\u00E9")};
    MimeAssembler latin(in);
    QCOMPARE(latin.messageCharset(), TMimeChar::ISO_8859_1);
    QCOMPARE(latin.charsetLabel(), QByteArray("iso-8859-1"));

    in.MailText << QStringLiteral("\u041C\u0438\u0440"); // Cyrillic: not in Latin-1
    MimeAssembler fallback(in);
    QCOMPARE(fallback.messageCharset(), TMimeChar::UTF_8);
    QCOMPARE(fallback.charsetLabel(), QByteArray("UTF-8"));
    const QByteArray msg = assemble(in);
    QVERIFY(msg.contains("charset=\"UTF-8\""));
    QVERIFY(msg.contains("Subject: =?UTF-8?Q?caf=C3=A9?="));
    QVERIFY(msg.contains("=D0=9C=D0=B8=D1=80"));
}

// Messages of every structure, in several scripts and with files of awkward
// sizes, parsed by Python's email package.
void TestMimeAssembler::independentJudge()
{
    if (!QFile::exists(pythonProgram()))
        QSKIP("/usr/bin/python3 is not installed (scripts/packages-test.txt)");

    struct Script {
        const char *name;
        QString text;
        QString charset;
        TMimeChar mimeChar;
        QString effective; // the label the message must carry
    };
    const QList<Script> scripts{
        {"ascii", QStringLiteral("Hello there.\n.\nA line with = and ? and _"), "us-ascii", TMimeChar::ISO_8859_1,
         "us-ascii"},
        {"latin", QStringLiteral("Gr\u00FC\u00DFe aus K\u00F6ln \u2014 na\u00EFve"), "windows-1252", TMimeChar::CP1252,
         "windows-1252"},
        {"cyrillic", QStringLiteral("\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! \u0401\u0436"), "koi8-r",
         TMimeChar::KOI8_R, "koi8-r"},
        {"cyrillic-1251", QStringLiteral("\u0421\u043F\u0430\u0441\u0438\u0431\u043E \u0437\u0430 \u043F\u0438\u0441\u044C\u043C\u043E"),
         "windows-1251", TMimeChar::CP1251, "windows-1251"},
        {"cjk", QStringLiteral("\u65E5\u672C\u8A9E\u306E\u30E1\u30FC\u30EB\u3002\u4E2D\u6587\u3002"), "utf-8",
         TMimeChar::UTF_8, "utf-8"},
        {"cjk-in-latin1", QStringLiteral("\u65E5\u672C caf\u00E9"), "iso-8859-1", TMimeChar::ISO_8859_1, "UTF-8"},
    };

    QStringList sizedFiles;
    for (int n : {0, 1, 2, 3, 45, 46}) {
        sizedFiles << m_dir.filePath(QStringLiteral("size%1.bin").arg(n));
        QVERIFY(writeFile(sizedFiles.last(), bytesOf(n, n)));
    }

    QJsonArray messages;
    int count = 0;
    for (const Script &s : scripts) {
        for (int flags = 0; flags < 16; ++flags) {
            const bool t = flags & 1, h = flags & 2, p = (flags & 4) && h, a = flags & 8;
            if ((flags & 4) && !h)
                continue;
            MimeInputs in;
            in.FROM_Name = s.text.left(12) + " Sender";
            in.FROM_Address = "sender@example.com";
            in.ListTo = {"rcpt@example.com|" + s.text.left(20)};
            in.Subject = s.text + " " + s.text + " " + s.text; // long enough to fold
            in.Charset = s.charset;
            in.MimeChar = s.mimeChar;
            in.HdrCoding = (flags % 3) ? hcQuotedPrn : hcBase64;
            const QStringList lines{s.text, QString(), QStringLiteral("."), s.text.repeated(40), QStringLiteral(" end")};
            if (t)
                in.MailText = lines;
            if (h) {
                in.TypeContent = tcHtml;
                in.Content_Type = "text/html";
                in.HtmlText = {"<html><body>", "<p>" + s.text + "</p>", "</body></html>"};
            }
            const auto fileNode = [&](const QString &path, const QString &type, const QString &disposition,
                                      const QString &cid) {
                QJsonObject o{{"type", type}, {"file", path}, {"filename", QFileInfo(path).fileName()},
                              {"disposition", disposition}};
                if (!cid.isEmpty())
                    o["cid"] = cid;
                return o;
            };
            QJsonArray pictures, attachments;
            if (p) {
                in.HtmlFiles = {m_png, m_gif};
                in.HtmlCids = {"img1@x", "img2@x"};
                pictures = {fileNode(m_png, "image/png", "inline", "img1@x"),
                            fileNode(m_gif, "image/gif", "inline", "img2@x")};
            }
            if (a) {
                in.Attachments = sizedFiles;
                for (const QString &f : sizedFiles)
                    attachments.append(fileNode(f, "application/octet-stream", "attachment", {}));
                in.Attachments << m_pdf;
                attachments.append(fileNode(m_pdf, "application/pdf", "attachment", {}));
            }

            const QString label = s.effective.toLower();
            // Line breaks inside a line are line breaks of the text (CR LF).
            const auto joined = [](const QStringList &l) {
                QString text;
                for (QString line : l)
                    text += line.replace(u'\n', QStringLiteral("\r\n")) + "\r\n";
                return text;
            };
            const QJsonObject plain{{"type", "text/plain"}, {"text", joined(in.MailText)}, {"charset", label}};
            const QJsonObject html{{"type", "text/html"}, {"text", joined(in.HtmlText)}, {"charset", label}};
            QJsonObject htmlish = html;
            if (p)
                htmlish = QJsonObject{{"type", "multipart/related"}, {"parts", QJsonArray{html, pictures[0], pictures[1]}}};
            QJsonObject body;
            if (t && h)
                body = QJsonObject{{"type", "multipart/alternative"}, {"parts", QJsonArray{plain, htmlish}}};
            else if (t)
                body = plain;
            else if (h)
                body = htmlish;
            QJsonObject tree;
            if (a) {
                QJsonArray parts;
                if (!body.isEmpty())
                    parts.append(body);
                for (const auto &x : attachments)
                    parts.append(x);
                tree = QJsonObject{{"type", "multipart/mixed"}, {"parts", parts}};
            } else {
                tree = body.isEmpty() ? plain : body;
            }

            // Line breaks in header values arrive as blanks.
            const auto oneLine = [](QString v) { return v.replace(u'\n', u' '); };
            const QString file = m_dir.filePath(QStringLiteral("%1-%2.eml").arg(s.name).arg(flags));
            QVERIFY(writeFile(file, assemble(in)));
            messages.append(QJsonObject{{"name", QStringLiteral("%1 flags %2").arg(s.name).arg(flags)},
                                        {"file", file},
                                        {"subject", oneLine(in.Subject)},
                                        {"from_name", oneLine(in.FROM_Name)},
                                        {"to", QJsonArray{QJsonArray{oneLine(s.text.left(20)), "rcpt@example.com"}}},
                                        {"tree", tree}});
            ++count;
        }
    }
    QCOMPARE(count, 6 * 12);

    const JudgeVerdict verdict = judgeMessages({{"messages", messages}}, m_dir.filePath("manifest.json"));
    QVERIFY2(verdict.passed, verdict.report.constData());
    QVERIFY2(verdict.report.contains("72 messages judged, 0 problems"), verdict.report.constData());
}

// Subjects and sender names of every length in several scripts, charsets
// and both header codings: Python's email package reads them exactly as
// given, and the first encoded word stands on the "Subject:" line.
void TestMimeAssembler::nonAsciiSubjects()
{
    struct Script {
        const char *name;
        QString text; // repeated and cut to the length wanted
        QList<std::pair<TMimeChar, const char *>> charsets;
    };
    const QList<Script> scripts{
        {"Cyrillic", QStringLiteral("\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! \u0421\u043A\u0438\u0434\u043A\u0438 \u0434\u043B\u044F \u0432\u0430\u0441 "),
         {{TMimeChar::UTF_8, "utf-8"}, {TMimeChar::KOI8_R, "koi8-r"}, {TMimeChar::CP1251, "windows-1251"}}},
        {"CJK", QStringLiteral("\u65E5\u672C\u8A9E\u306E\u4EF6\u540D\u3001\u4E2D\u6587\u6807\u9898\uD55C\uAD6D\uC5B4 "),
         {{TMimeChar::UTF_8, "utf-8"}}},
        {"Latin-1", QStringLiteral("\u00C9t\u00E9 \u00E0 la cr\u00E8me br\u00FBl\u00E9e, \u00DCbergr\u00F6\u00DFe \u00F1 "),
         {{TMimeChar::UTF_8, "utf-8"}, {TMimeChar::ISO_8859_1, "iso-8859-1"}, {TMimeChar::CP1252, "windows-1252"}}},
        {"emoji", QStringLiteral("\U0001F600\U0001F389 Sale \U0001F44D\U0001F3FD\u2764\uFE0F \U0001F1E9\U0001F1EA "),
         {{TMimeChar::UTF_8, "utf-8"}}},
    };
    QList<int> lengths{1, 20, 60, 200, 1000};
    for (int n = 61; n <= 80; ++n)
        lengths << n;
    // `n` code points of `text`, repeated as needed.
    const auto cut = [](const QString &text, int n) {
        const QList<uint> units = text.toUcs4();
        QList<uint> out;
        for (int i = 0; i < n; ++i)
            out << units[i % units.size()];
        return QString::fromUcs4(reinterpret_cast<const char32_t *>(out.constData()), out.size());
    };

    QJsonArray messages;
    for (const Script &script : scripts) {
        for (const auto &[charset, label] : script.charsets) {
            for (const THdrCoding coding : {hcBase64, hcQuotedPrn}) {
                for (const int n : lengths) {
                    const QString text = cut(script.text, n);
                    const QString name = QStringLiteral("%1 %2 %3 %4")
                                             .arg(script.name, label, coding == hcBase64 ? "B" : "Q")
                                             .arg(n);
                    MimeInputs in;
                    in.FROM_Name = text;
                    in.FROM_Address = "from@example.com";
                    in.ListTo = {"rcpt@example.com|"};
                    in.Subject = text;
                    in.Headers = {"X-Mailer: Varnholt 2.1", "X-Campaign: " + text};
                    in.Charset = label;
                    in.MimeChar = charset;
                    in.HdrCoding = coding;
                    in.MailText = {"x"};
                    QCOMPARE(MimeAssembler(in).messageCharset(), charset);
                    const QByteArray msg = assemble(in);

                    // Each encoded field starts with its first word on its
                    // own line, and its lines keep within 76 characters
                    // (RFC 2047 2); the sender's last line also holds the
                    // address, so it may take the 78 of RFC 5322 2.1.1.
                    const QList<QByteArray> head = msg.left(msg.indexOf("\r\n\r\n") + 2).split('\n');
                    for (const auto &[field, width] : {std::pair<QByteArray, int>{"Subject:", 76},
                                                       {"X-Campaign:", 76}, {"From:", 78}}) {
                        qsizetype at = -1;
                        for (qsizetype i = 0; i < head.size() && at < 0; ++i)
                            at = head[i].startsWith(field) ? i : -1;
                        QVERIFY2(at >= 0, qPrintable(name + ": no " + field));
                        QVERIFY2(head[at].startsWith(field + " =?"), qPrintable(name + ": " + head[at]));
                        for (qsizetype i = at; i < head.size() && (i == at || head[i].startsWith(' ')); ++i)
                            QVERIFY2(head[i].size() - 1 <= width, qPrintable(name + ": " + head[i])); // and its CR
                    }
                    for (const QByteArray &line : msg.split('\n'))
                        QVERIFY2(line.size() <= 999, qPrintable(name)); // 998 and the CR

                    // At most 999 characters of a header value are kept.
                    const QString kept = cut(script.text, qMin(n, 999));
                    const QString file = m_dir.filePath(QStringLiteral("subject-%1.eml").arg(messages.size()));
                    QVERIFY(writeFile(file, msg));
                    messages.append(QJsonObject{{"name", name},
                                                {"file", file},
                                                {"subject", kept},
                                                {"from_name", text},
                                                {"headers", QJsonObject{{"X-Mailer", "Varnholt 2.1"}, {"X-Campaign", kept}}}});
                }
            }
        }
    }

    const JudgeVerdict verdict = judgeMessages({{"messages", messages}}, m_dir.filePath("subjects.json"));
    QVERIFY2(verdict.passed, verdict.report.constData());
    QVERIFY2(verdict.report.contains(QByteArray::number(messages.size()) + " messages judged, 0 problems"),
             verdict.report.constData());
}

QTEST_GUILESS_MAIN(TestMimeAssembler)
#include "tst_mimeassembler.moc"
