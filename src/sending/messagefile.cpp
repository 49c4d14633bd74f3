#include "sending/messagefile.h"

namespace varnholt {

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
        // Copy runs between stuffed dots: only a line that begins with "."
        // carries one extra.
        piece.resize(0);
        piece.reserve(wire.size());
        qsizetype from = 0;
        if (wire.startsWith('.'))
            from = 1;
        for (qsizetype dot = wire.indexOf("\n.", from); dot >= 0; dot = wire.indexOf("\n.", from)) {
            piece.append(wire.sliced(from, dot + 1 - from));
            from = dot + 2;
        }
        piece.append(wire.sliced(from));
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
