#include "sending/recipientaddress.h"

namespace varnholt {

bool IsSendableAddress(QStringView cell)
{
    bool quoted = false;
    int ats = 0;
    for (const QChar c : cell) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            return false;
        if (u == u'"') {
            quoted = !quoted;
            continue;
        }
        if (quoted)
            continue;
        if (u == u',' || u == u';')
            return false;
        if (u == u'@')
            ++ats;
    }
    return ats == 1 && !quoted;
}

} // namespace varnholt
