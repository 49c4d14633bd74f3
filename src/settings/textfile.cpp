#include "textfile.h"

#include "syscharset.h"

#include <QFile>
#include <QSaveFile>

namespace varnholt {

QString SystemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

std::optional<QByteArray> readFileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

QStringList readTextLines(const QString &path)
{
    QStringList lines;
    const auto bytes = readFileBytes(path);
    if (!bytes)
        return lines;
    forEachLine(*bytes, [&](QByteArrayView line) { lines.append(SystemCharset::toUnicode(line)); });
    return lines;
}

QByteArray joinLinesCrLf(const QStringList &lines)
{
    QByteArray out;
    for (const QString &line : lines) {
        out += SystemCharset::fromUnicode(line);
        out += "\r\n";
    }
    return out;
}

bool writeFileAtomically(const QString &path, QByteArrayView data, QString *error,
                         std::optional<QFileDevice::Permissions> permissions)
{
    return writeFileAtomicallyStreamed(
        path,
        [data](QIODevice &out) {
            qsizetype done = 0;
            while (done < data.size()) {
                const qint64 n = out.write(data.data() + done, data.size() - done);
                if (n <= 0)
                    return false;
                done += n;
            }
            return true;
        },
        error, permissions);
}

bool writeFileAtomicallyStreamed(const QString &path, const std::function<bool(QIODevice &out)> &produce,
                                 QString *error, std::optional<QFileDevice::Permissions> permissions)
{
    QSaveFile f(path);
    auto fail = [&] {
        if (error)
            *error = f.errorString();
        f.cancelWriting();
        return false;
    };
    if (!f.open(QIODevice::WriteOnly))
        return fail();
    if (permissions && !f.setPermissions(*permissions))
        return fail();
    if (!produce(f))
        return fail();
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

} // namespace varnholt
