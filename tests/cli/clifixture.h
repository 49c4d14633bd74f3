#pragma once

// What the command-line tests share: running varnholt-cli as a user's script
// would, and a small project with an account on 127.0.0.1.

#include "settings/settings.h"
#include "testfiles.h"
#include "testservers.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QTest>

struct CliFixture {
    struct Result {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    static Result run(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral(VARNHOLT_CLI), args);
        if (!p.waitForFinished(120000))
            return {};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

    // A project "p" in `folder`: list rows "address;name;city", a subject and
    // a plain text with merge fields.
    static QString makeProject(const QString &folder, const QByteArray &list)
    {
        return varnholt::testing::writeProject(
            folder, {.settings = "[Common]\r\nSubject=Offer for [Column#2]\r\nSectionSymbol=;\r\nColumn=0\r\n"
                                 "CharSet=English(en),iso-8859-1\r\nNIniInfo=0\r\nHTML=0\r\n",
                     .list = list,
                     .text = "Dear [Column#2],\r\nwelcome to [Column#3].\r\n"});
    }

    static QByteArray numberedList(int rows)
    {
        QByteArray list;
        for (int i = 1; i <= rows; ++i)
            list += QByteArray("user") + QByteArray::number(i) + "@example.org;User " + QByteArray::number(i)
                    + ";Town " + QByteArray::number(i) + "\r\n";
        return list;
    }

    // setupqnd.ini in `home` with one account on 127.0.0.1:port, no POP3.
    static void writeSettings(const QString &home, quint16 port)
    {
        varnholt::ProgramSettings s;
        varnholt::tAccountObj a;
        a.Name = QStringLiteral("Shop");
        a.SMTPServer = QStringLiteral("127.0.0.1");
        a.SMTPPort = port;
        a.ReturnAddress = QStringLiteral("shop@example.org");
        a.MailDomain = QStringLiteral("example.org");
        s.accounts.add(a);
        s.iniInfo.Pop3Identify = false;
        s.iniInfo.TimeOut = 5;
        QString error;
        QDir().mkpath(home);
        QVERIFY2(varnholt::SaveSettings(s, home + "/setupqnd.ini", &error), qPrintable(error));
    }

    // Recipient -> number of messages smtp-sink kept for it.
    static QHash<QByteArray, int> deliveredByRecipient(const QString &dump)
    {
        QHash<QByteArray, int> counts;
        for (const QByteArray &message : varnholt::testing::SmtpSink::storedMessages(dump)) {
            for (const QByteArray &line : message.split('\n')) {
                if (line.startsWith("To: ")) {
                    ++counts[line.mid(4).trimmed()];
                    break;
                }
            }
        }
        return counts;
    }
};
