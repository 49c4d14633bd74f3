#pragma once

// A small project on disk for the sending run tests, with an account that
// sends to 127.0.0.1.

#include "project/project.h"
#include "settings/settings.h"
#include "testfiles.h"

#include <QList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct SendingFixture {
    QTemporaryDir dir;
    std::unique_ptr<varnholt::Project> project;
    varnholt::tAccounts accounts;

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        varnholt::testing::writeFile(path, bytes);
    }

    // Project "p" with one address per list line (";" separates the
    // columns), a plain text body and no POP3 log-in; the account sends to
    // 127.0.0.1:smtpPort and logs in to 127.0.0.1:popPort.
    void make(const QList<QByteArray> &lines, quint16 smtpPort, quint16 popPort = 1,
              const QByteArray &extraSettings = {})
    {
        QVERIFY(dir.isValid());
        const QString eml = varnholt::testing::writeProject(
            dir.path(), {.settings = "[Common]\r\nSubject=Hello [Column#2]\r\nColumn=0\r\nColumnA=0\r\n"
                                     "SectionSymbol=;\r\nCharSet=English(en),iso-8859-1\r\n"
                                         + extraSettings,
                         .list = lines.join("\r\n") + "\r\n",
                         .text = "Dear [Column#2],\r\nhello.\r\n"});
        varnholt::TIniInfo program = varnholt::DefaultIniInfo();
        program.Pop3Identify = false;
        program.DefaultHelo = false;
        program.TextHelo = QStringLiteral("client.test");
        program.TimeOut = 5;
        project = std::make_unique<varnholt::Project>(program);
        project->open(eml);

        varnholt::tAccountObj account;
        account.Name = QStringLiteral("Sender");
        account.ReturnAddress = QStringLiteral("a@x.test");
        account.SMTPServer = QStringLiteral("127.0.0.1");
        account.SMTPPort = smtpPort;
        account.PopServer = QStringLiteral("127.0.0.1");
        account.PopPort = popPort;
        account.UserID = QStringLiteral("joe");
        account.Password = QStringLiteral("secret");
        accounts.Clear();
        accounts.add(account);
    }
    [[nodiscard]] QString path(const QString &name) const { return dir.filePath(name); }
};
