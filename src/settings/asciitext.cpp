#include "asciitext.h"

namespace varnholt {

bool HasHighBytes(QByteArrayView text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (qsizetype left = text.size(); left > 0;) {
        const qsizetype n = qMin<qsizetype>(left, 64);
        quint8 any = 0;
        for (qsizetype i = 0; i < n; ++i)
            any |= p[i];
        if (any & 0x80)
            return true;
        p += n;
        left -= n;
    }
    return false;
}

bool isAscii(QStringView text)
{
    const char16_t *p = text.utf16();
    char16_t any = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        any |= p[i];
    return any < 0x80;
}

qsizetype copyAscii(char *dst, QStringView text)
{
    const char16_t *units = text.utf16();
    const qsizetype size = text.size();
    qsizetype done = 0;
    // Blocks of 32 units without a branch per unit (vector code), then unit
    // by unit up to the first that is not ASCII.
    constexpr qsizetype Block = 32;
    while (done + Block <= size) {
        char16_t any = 0;
        for (qsizetype k = 0; k < Block; ++k)
            any |= units[done + k];
        if (any >= 0x80)
            break;
        for (qsizetype k = 0; k < Block; ++k)
            dst[done + k] = char(units[done + k]);
        done += Block;
    }
    while (done < size && units[done] < 0x80) {
        dst[done] = char(units[done]);
        ++done;
    }
    return done;
}

} // namespace varnholt
