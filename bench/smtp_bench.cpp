// Sends N messages of about SIZE bytes of body through one kept-open SMTP
// connection and prints the rate. Usage: smtp_bench HOST PORT [N] [SIZE]

#include "benchapp.h"
#include "mailclient/sendmail.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

using namespace varnholt;

int main(int argc, char **argv)
{
    bench::useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    QStringList args;
    if (!bench::takeArguments(args, 2, "smtp_bench HOST PORT [COUNT] [BODY_BYTES]"))
        return 2;
    const int count = args.size() > 3 ? args.at(3).toInt() : 10000;
    const int size = args.size() > 4 ? args.at(4).toInt() : 1024;

    // A body of `size` bytes including its CR LF line ends, in 64-byte lines.
    QStringList body;
    for (int left = size; left > 0; left -= 64)
        body << QString(qMax(1, qMin(64, left) - 2), u'X');

    SendMail mail;
    mail.setSMTP_Server(args.at(1));
    mail.setSMTP_Port(quint16(args.at(2).toUInt()));
    mail.setKeepConnectionOpen(true);
    mail.setHeloDef(false);
    mail.setHeloTxt(QStringLiteral("bench.test"));
    mail.setReplyTimeLimit(std::chrono::seconds(30));

    int sent = 0;
    int failures = 0;
    QElapsedTimer clock;
    auto next = [&] {
        mail.message().FROM_Address = QStringLiteral("a@x.test");
        mail.message().Subject = QStringLiteral("bench");
        mail.message().MailText = body;
        mail.message().ListTo.clear();
        mail.setTO_Address(QStringLiteral("b@y.test"));
        mail.setAction(SendMail::Send_Mail);
    };
    QObject::connect(&mail, &SendMail::OnMailError, &mail, [&](int error, const QString &text) {
        std::fprintf(stderr, "error %d: %s\n", error, qPrintable(text));
        ++failures;
        mail.setAction(SendMail::Cancel_SendMail);
    });
    QObject::connect(&mail, &SendMail::OnDone, &mail, [&] {
        if (!mail.Delivered()) {
            app.exit(1);
            return;
        }
        if (++sent == count) {
            app.exit(0);
            return;
        }
        // OnDone ends the session, so the next one may start right here.
        next();
    });
    clock.start();
    QTimer::singleShot(0, &mail, next);
    const int rc = app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("%d messages in %.3f s: %.0f msgs/s\n", sent, seconds, sent / seconds);
    return rc == 0 && failures == 0 ? 0 : 1;
}
