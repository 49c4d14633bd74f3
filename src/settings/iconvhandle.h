#pragma once

#include <iconv.h>
#include <memory>

namespace varnholt {

// An iconv conversion descriptor that closes itself.
struct IconvCloser {
    void operator()(void *cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// Opens a conversion from `from` to `to`; empty when glibc does not know one
// of the two charsets.
[[nodiscard]] inline IconvHandle openIconv(const char *to, const char *from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return {};
    return IconvHandle(cd);
}

} // namespace varnholt
