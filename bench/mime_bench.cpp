// Assembles one message (a short plain text plus the attachment given on
// the command line, if any) and writes it to standard output, which the
// benchmark points at /dev/null. Prints its figures to standard error:
//   assemble_ms N, bytes N, peak_kb N (VmHWM: the peak resident set).
#include "mime/mimeassembler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <unistd.h>

using namespace varnholt;

namespace {

qint64 peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool writeAll(const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    MimeInputs in;
    in.FROM_Name = QStringLiteral("Bench Sender");
    in.FROM_Address = QStringLiteral("bench@example.com");
    in.ListTo = {QStringLiteral("rcpt@example.com|Recipient")};
    in.Subject = QStringLiteral("Benchmark");
    in.MailText = {QStringLiteral("A short message with one attachment.")};
    if (argc > 1)
        in.Attachments = {QString::fromLocal8Bit(argv[1])};

    QElapsedTimer timer;
    timer.start();
    MimeAssembler assembler(in);
    bool failed = false;
    QObject::connect(&assembler, &MimeAssembler::miFileError, [&failed](const QString &) { failed = true; });
    qint64 bytes = 0;
    while (!assembler.atEnd()) {
        const QByteArray chunk = assembler.nextChunk();
        bytes += chunk.size();
        if (!writeAll(chunk))
            return 2;
    }
    const qint64 ms = timer.elapsed();
    std::fprintf(stderr, "assemble_ms %lld\nbytes %lld\npeak_kb %lld\n", static_cast<long long>(ms),
                 static_cast<long long>(bytes), static_cast<long long>(peakKb()));
    return failed ? 1 : 0;
}
