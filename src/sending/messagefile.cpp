#include "sending/messagefile.h"

#include <cstring>

namespace varnholt {

namespace {

// The next "." in [from, end) that begins a line, or nullptr. `lineStart`
// is the start of the chunk, itself the start of a line. A search for the
// lone byte is much quicker than one for "\n.", and base64 lines, the bulk
// of a large message, hold no "." at all.
const char *nextLineDot(const char *lineStart, const char *from, const char *end)
{
    while (from < end) {
        const auto *dot = static_cast<const char *>(std::memchr(from, '.', size_t(end - from)));
        if (!dot)
            return nullptr;
        if (dot == lineStart || dot[-1] == '\n')
            return dot;
        from = dot + 1;
    }
    return nullptr;
}

} // namespace

bool WriteMessageFile(const MimeInputs &inputs, const std::function<bool(QByteArrayView)> &sink)
{
    MimeAssembler assembler(inputs);
    QByteArray piece;
    while (!assembler.atEnd()) {
        const QByteArray chunk = assembler.nextChunk();
        // Every chunk is whole lines; the last one ends with the "." line.
        QByteArrayView wire(chunk);
        if (assembler.atEnd() && wire.endsWith("\r\n.\r\n"))
            wire.chop(3);
        else if (assembler.atEnd() && wire == ".\r\n")
            wire = {};
        if (wire.isEmpty())
            continue;
        // RFC 5321 4.5.2: a line that begins with "." carries one extra;
        // the runs between those dots are copied, and a chunk without one
        // goes out as it is.
        const char *begin = wire.data();
        const char *end = begin + wire.size();
        const char *dot = nextLineDot(begin, begin, end);
        if (!dot) {
            if (!sink(wire))
                return false;
            continue;
        }
        piece.resize(0);
        piece.reserve(wire.size());
        const char *from = begin;
        for (; dot; dot = nextLineDot(begin, from, end)) {
            piece.append(from, dot - from);
            from = dot + 1;
        }
        piece.append(from, end - from);
        if (!piece.isEmpty() && !sink(piece))
            return false;
    }
    return true;
}

QByteArray MessageFileBytes(const MimeInputs &inputs)
{
    QByteArray out;
    WriteMessageFile(inputs, [&out](QByteArrayView piece) {
        out.append(piece);
        return true;
    });
    return out;
}

} // namespace varnholt
