// Feeds arbitrary bytes through the whole receive path: a TPacketListener whose
// socket calls hand out the input as the received datagram, and DecodeDatagram
// on its own. Every report is checked against the bytes it came from.
//
// Input layout: one control byte, then (depending on its mode) a claimed length
// or an errno value, then the datagram itself.
//   mode 0: honest receive, the call returns the datagram's real length
//   mode 1: two big-endian bytes follow: the length the call claims instead
//   mode 2: one byte follows: the errno of a failed receive
//   mode 3: honest receive with no OnDataAvailable handler
//   bit 2 of the control byte: receive the same datagram twice

#include "datagram.h"
#include "errnocodes.h"
#include "fuzzcheck.h"
#include "packetlistener.h"
#include "socketcalls.h"
#include "socketerrors.h"

#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kHeaders = TPacketListener::kIpHeaderSize + TPacketListener::kUdpHeaderSize;

class FakeSocketCalls final : public SocketCalls
{
public:
    const std::uint8_t *data = nullptr;
    size_t dataSize = 0;
    ssize_t result = 0;
    int errnoValue = 0;
    const std::uint8_t *lastBuffer = nullptr;
    size_t lastBufferSize = 0;

    int Startup() override { return 0; }
    void Cleanup() override {}
    int Open() override { return -1; }
    int Bind(int) override { return -1; }
    int Arm(int) override { return -1; }
    ssize_t Receive(int, void *buffer, size_t size, ReceiveDetails &details) override
    {
        details = {};
        lastBuffer = static_cast<const std::uint8_t *>(buffer);
        lastBufferSize = size;
        if (result >= 0 && dataSize > 0)
            std::memcpy(buffer, data, std::min(dataSize, size));
        return result;
    }
    int DropCount(int, std::uint32_t &droppedSoFar) override
    {
        droppedSoFar = 0;
        return 0;
    }
    int Close(int) override { return 0; }
    int LastError() override { return errnoValue; }
};

bool IsDottedQuadOf(const std::string &address, const std::uint8_t *bytes)
{
    const QString text = QString::fromStdString(address);
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        const QString &part = parts[i];
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.startsWith(QLatin1Char('0'))))
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (part.toInt() != bytes[i])
            return false;
    }
    return true;
}

bool IsMacTextOf(const std::string &mac, const std::uint8_t *bytes)
{
    const QString text = QString::fromStdString(mac);
    static const char kHex[] = "0123456789ABCDEF";
    if (text.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (text[3 * i] != QLatin1Char(kHex[bytes[i] >> 4]) || text[3 * i + 1] != QLatin1Char(kHex[bytes[i] & 0xF]))
            return false;
        if (i < 5 && text[3 * i + 2] != QLatin1Char('-'))
            return false;
    }
    return true;
}

std::uint16_t BigEndian16(const std::uint8_t *bytes) { return std::uint16_t((bytes[0] << 8) | bytes[1]); }

// Where the magic payload of a datagram starts, or -1 when it holds no magic packet.
// Written apart from the decoder so that the two can disagree.
int MagicPayloadOffset(const std::uint8_t *bytes, size_t length)
{
    if (length <= size_t(kHeaders))
        return -1;
    const size_t ipHeader = size_t(bytes[0] & 0x0F) * 4;
    if (ipHeader < 20 || length != ipHeader + 8 + size_t(kMagicPayloadSize))
        return -1;
    if (BigEndian16(bytes + ipHeader + 4) != 8 + kMagicPayloadSize)
        return -1;
    const std::uint8_t *payload = bytes + ipHeader + 8;
    for (int i = 0; i < 6; ++i) {
        if (payload[i] != 0xFF)
            return -1;
    }
    for (int copy = 1; copy < 16; ++copy) {
        if (std::memcmp(payload + 6, payload + 6 + 6 * copy, 6) != 0)
            return -1;
    }
    return int(ipHeader + 8);
}

void CheckPacketReport(const PacketReport &report, const TPacketListener &listener, const std::uint8_t *bytes,
                       size_t length)
{
    FUZZ_CHECK(report.sender == &listener);
    FUZZ_CHECK(!report.error);
    const int payload = MagicPayloadOffset(bytes, length);
    FUZZ_CHECK(payload >= 0);
    FUZZ_CHECK(IsMacTextOf(report.mac, bytes + payload + 6));
    FUZZ_CHECK(IsDottedQuadOf(report.sourceAddress, bytes + 12));
    FUZZ_CHECK(IsDottedQuadOf(report.destinationAddress, bytes + 16));
    FUZZ_CHECK(report.sourcePort == BigEndian16(bytes + payload - 8));
    FUZZ_CHECK(report.destinationPort == BigEndian16(bytes + payload - 6));
}

void CheckErrorReport(const PacketReport &report, const TPacketListener &listener)
{
    FUZZ_CHECK(report.sender == &listener);
    FUZZ_CHECK(report.error);
    FUZZ_CHECK(report.sourceAddress.empty() && report.destinationAddress.empty() && report.mac.empty());
    FUZZ_CHECK(report.sourcePort == 0 && report.destinationPort == 0);
}

void FuzzListener(std::uint8_t control, const std::uint8_t *datagram, size_t size, ssize_t result, int errnoValue)
{
    FakeSocketCalls calls;
    calls.data = datagram;
    calls.dataSize = size;
    calls.result = result;
    calls.errnoValue = errnoValue;
    const int winsockCode = WinSockCodeFromErrno(errnoValue);

    const int mode = control & 3;
    const int rounds = (control & 4) ? 2 : 1;
    std::vector<PacketReport> reports;
    {
        TPacketListener listener(calls);
        if (mode != 3)
            listener.OnDataAvailable = [&reports](const PacketReport &report) { reports.push_back(report); };

        for (int round = 0; round < rounds; ++round) {
            const std::string errorBefore = listener.LastError();
            const size_t reportsBefore = reports.size();
            listener.ReceiveDatagram();
            const size_t added = reports.size() - reportsBefore;
            FUZZ_CHECK(calls.lastBufferSize == size_t(TPacketListener::kBufferSize));
            FUZZ_CHECK(!listener.IsListening());

            if (result < 0) {
                FUZZ_CHECK(listener.LastError() == SocketErrorText(winsockCode));
                FUZZ_CHECK(listener.LastError().ends_with(", " + std::to_string(winsockCode)));
                FUZZ_CHECK(added == (mode == 3 ? 0u : 1u));
                if (added)
                    CheckErrorReport(reports.back(), listener);
            } else if (result > TPacketListener::kBufferSize) {
                FUZZ_CHECK(listener.LastError() == "Message too long, 10040");
                FUZZ_CHECK(added == (mode == 3 ? 0u : 1u));
                if (added)
                    CheckErrorReport(reports.back(), listener);
            } else {
                FUZZ_CHECK(listener.LastError() == errorBefore);
                FUZZ_CHECK(added <= 1);
                const bool magic = MagicPayloadOffset(calls.lastBuffer, size_t(result)) >= 0;
                FUZZ_CHECK(added == ((magic && mode != 3) ? 1u : 0u));
                if (added)
                    CheckPacketReport(reports.back(), listener, calls.lastBuffer, size_t(result));
            }
        }
    }
}

void FuzzDecoder(const std::uint8_t *datagram, size_t size)
{
    const ByteView bytes(datagram, size);
    const auto decoded = DecodeDatagram(bytes, HeaderSizes{});
    if (size <= size_t(kHeaders)) {
        FUZZ_CHECK(!decoded);
    } else if (decoded) {
        FUZZ_CHECK(IsDottedQuadOf(decoded->sourceAddress, datagram + 12));
        FUZZ_CHECK(IsDottedQuadOf(decoded->destinationAddress, datagram + 16));
        const size_t ipHeader = size_t(datagram[0] & 0x0F) * 4;
        FUZZ_CHECK(ipHeader >= 20 && ipHeader + 8 <= size);
        FUZZ_CHECK(BigEndian16(datagram + ipHeader + 4) + ipHeader == size);
        FUZZ_CHECK(decoded->sourcePort == BigEndian16(datagram + ipHeader));
        FUZZ_CHECK(decoded->destinationPort == BigEndian16(datagram + ipHeader + 2));
    }
    const int payload = MagicPayloadOffset(datagram, size);
    FUZZ_CHECK((decoded && !decoded->mac.empty()) == (payload >= 0));
    if (payload >= 0)
        FUZZ_CHECK(IsMacTextOf(decoded->mac, datagram + payload + 6));

    const std::string mac = ExtractMagicMac(bytes);
    FUZZ_CHECK(mac.empty() || (size == size_t(kMagicPayloadSize) && IsMacTextOf(mac, datagram + 6)));
    if (size >= 4)
        FUZZ_CHECK(IsDottedQuadOf(FormatDottedQuad((std::uint32_t(BigEndian16(datagram)) << 16) | BigEndian16(datagram + 2)),
                                  datagram));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t control = data[0];
    const std::uint8_t *rest = data + 1;
    size_t restSize = size - 1;

    ssize_t result = ssize_t(restSize);
    int errnoValue = 0;
    switch (control & 3) {
    case 1:
        if (restSize < 2)
            return 0;
        result = BigEndian16(rest);
        rest += 2;
        restSize -= 2;
        break;
    case 2:
        if (restSize < 1)
            return 0;
        result = -1;
        errnoValue = rest[0];
        rest += 1;
        restSize -= 1;
        break;
    default:
        result = ssize_t(restSize);
        break;
    }

    FuzzListener(control, rest, restSize, result, errnoValue);
    FuzzDecoder(rest, restSize);
    return 0;
}
