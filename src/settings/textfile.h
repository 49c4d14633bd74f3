#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFileDevice>
#include <QString>
#include <QStringList>

#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>

// Reading and writing the program's text files: CR LF, LF or CR line ends
// on reading, CR LF on writing, and writes that never leave a half-written
// file behind.
namespace varnholt {

// The system's text for an errno value ("No space left on device").
[[nodiscard]] QString SystemErrorText(int error);

// The whole file, or nothing when it cannot be opened or read.
[[nodiscard]] std::optional<QByteArray> readFileBytes(const QString &path);

// Calls `line(view)` for every line of `text`. CR LF, LF and CR end a line;
// a NUL byte ends the readable text; a final line without a line end counts.
// A callback that returns bool stops the walk by returning false.
template <typename Fn>
qsizetype forEachLine(QByteArrayView text, Fn &&line)
{
    if (text.isEmpty())
        return 0;
    const char *p = text.data();
    const char *end = p + text.size();
    if (const void *nul = memchr(p, '\0', size_t(text.size())))
        end = static_cast<const char *>(nul);
    // The next LF and the next CR, each searched again only once passed, so
    // every byte is scanned by memchr at most twice.
    auto next = [&end](const char *from, char c) {
        const void *hit = memchr(from, c, size_t(end - from));
        return hit ? static_cast<const char *>(hit) : end;
    };
    const char *lf = next(p, '\n');
    const char *cr = next(p, '\r');
    qsizetype count = 0;
    while (p < end) {
        if (lf < p)
            lf = next(p, '\n');
        if (cr < p)
            cr = next(p, '\r');
        const char *q = lf < cr ? lf : cr;
        ++count;
        if constexpr (std::is_same_v<decltype(line(QByteArrayView())), bool>) {
            if (!line(QByteArrayView(p, q - p)))
                return count;
        } else {
            line(QByteArrayView(p, q - p));
        }
        if (q < end && *q == '\r' && q + 1 < end && q[1] == '\n')
            q += 2;
        else if (q < end)
            ++q;
        p = q;
    }
    return count;
}

// The lines of a text file, decoded from the system charset. A missing or
// unreadable file gives an empty list.
[[nodiscard]] QStringList readTextLines(const QString &path);

// Joins lines, each ending with CR LF, encoded in the system charset.
[[nodiscard]] QByteArray joinLinesCrLf(const QStringList &lines);

// Writes `data` to a temporary file in the same folder and renames it over
// `path`, so a failure leaves the old file whole. With `permissions` set the
// new file gets exactly those (e.g. owner read/write only); otherwise an
// existing file keeps its permissions. On failure `error` gets a readable
// text.
bool writeFileAtomically(const QString &path, QByteArrayView data, QString *error = nullptr,
                         std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// The same for a file produced piece by piece: `produce` writes to the open
// temporary file and returns false when a write failed.
bool writeFileAtomicallyStreamed(const QString &path, const std::function<bool(QIODevice &out)> &produce,
                                 QString *error = nullptr,
                                 std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace varnholt
