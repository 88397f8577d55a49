// Feeds arbitrary bytes to the decoder of wake requests that come over the network,
// and checks what it says against them: a request or a reason, never both; nothing
// read past the size limit; and a request that was taken, written out again as the
// requester writes it, reads back the same.

#include "fuzzcheck.h"
#include "wakerequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const ByteView payload(data, size);
    const DecodedWakeRequest decoded = DecodeWakeRequest(payload);
    FUZZ_CHECK(decoded.request.has_value() != !decoded.problem.empty());
    if (size > kMostWakeRequestBytes)
        FUZZ_CHECK(!decoded.request && decoded.problem.find("at most 4096") != std::string::npos);
    if (!decoded.request)
        return 0;
    const RemoteWakeRequest &request = *decoded.request;
    FUZZ_CHECK(decoded.mac == request.mac);
    FUZZ_CHECK(request.password.empty() || request.password.size() == 4 || request.password.size() == 6);
    FUZZ_CHECK(!request.port || *request.port >= 1);
    FUZZ_CHECK(!request.timeout
               || (request.timeout->count() >= 1 && *request.timeout <= kLongestRequestTimeout));

    const std::string again = WakeRequestJson(request).dump();
    const DecodedWakeRequest reread =
        DecodeWakeRequest(ByteView(reinterpret_cast<const std::uint8_t *>(again.data()), again.size()));
    FUZZ_CHECK(reread.request.has_value());
    const RemoteWakeRequest &back = *reread.request;
    FUZZ_CHECK(back.mac == request.mac && back.ip == request.ip && back.port == request.port
               && back.password == request.password);
    FUZZ_CHECK(back.timeout.has_value() == request.timeout.has_value());
    if (request.timeout)
        FUZZ_CHECK(std::llabs(back.timeout->count() - request.timeout->count()) <= 1);
    return 0;
}
