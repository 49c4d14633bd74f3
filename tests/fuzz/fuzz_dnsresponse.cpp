// Fuzz target for the DNS response decoder: any bytes a server (or anyone
// who can reach the query's port) sends must decode to a result without a
// hang or a read outside the datagram; the tables never grow past their
// size and every answer's slot points into its table. The same bytes, taken
// as a domain name, must give a request whose echo decodes to its question.
#include "dns/dnsmessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace varnholt::dns;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const DecodeResult result = decodeResponse(bytes);
    const DnsResponse &r = result.response;
    check(r.answers.size() <= TableSize);
    check(r.mxHost.size() == r.mxPreference.size() && r.mxHost.size() <= TableSize);
    check(r.addresses.size() <= TableSize);
    if (result.status == DecodeStatus::Ok) {
        check(r.answers.size() <= r.answerCount);
        for (const DnsAnswer &answer : r.answers) {
            if (answer.slot < 0)
                continue;
            if (answer.type == TypeMx)
                check(answer.slot < r.mxHost.size());
            else
                check(answer.type == TypeA && answer.slot < r.addresses.size());
        }
        if (r.questionDecoded)
            check(r.questionWire.size() <= 255);
    }

    // The bytes as a domain name (Latin-1), up to a request's size.
    if (size <= MaxRequest) {
        const QString domain = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
        if (const auto request = mxRequest(0x4242, domain)) {
            check(request->size() <= MaxRequest);
            QByteArray echo = *request;
            echo[2] = char(echo[2] | 0x80); // QR: the server's echo of the question
            const DecodeResult back = decodeResponse(echo);
            check(back.status == DecodeStatus::Ok && back.response.questionDecoded);
            check(sameName(back.response.questionWire, *encodeName(domain)));
            check(back.response.questionType == TypeMx && back.response.id == 0x4242);
        }
    }
    return 0;
}
