// Feeds arbitrary bytes to DecodeFrame as a whole Ethernet frame, and to FindMagic
// as a payload, and checks every answer against the bytes it came from, and that
// the link-layer capture's kernel filter lets every frame through that decodes, and
// that it fares with watched sources added as with them compiled; and to
// ReadSignOfLife, the reader of what a waking machine sends.

#include "fuzzcheck.h"
#include "linkcapture.h"
#include "signoflife.h"
#include "wireframe.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool Inside(ByteView part, ByteView whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void CheckMatch(const MagicMatch &match, ByteView payload)
{
    if (match.kind == MagicKind::None) {
        FUZZ_CHECK(NearMissReason(match).empty());
        return;
    }
    FUZZ_CHECK(match.offset + 12 <= payload.size());
    for (std::size_t i = 0; i < 6; ++i)
        FUZZ_CHECK(payload[match.offset + i] == 0xFF);
    FUZZ_CHECK(std::memcmp(payload.data() + match.offset + 6, match.mac.data(), 6) == 0);
    FUZZ_CHECK(match.equalCopies >= 1 && match.equalCopies <= kMagicCopies);
    for (int copy = 1; copy < match.equalCopies; ++copy)
        FUZZ_CHECK(std::memcmp(payload.data() + match.offset + 6 + copy * 6, match.mac.data(), 6) == 0);
    FUZZ_CHECK(match.noCardHasTarget == !CardCanHave(match.mac));
    if (match.kind == MagicKind::Magic) {
        FUZZ_CHECK(match.equalCopies == kMagicCopies);
        const std::size_t end = match.offset + 102;
        FUZZ_CHECK(end <= payload.size());
        FUZZ_CHECK(match.password.empty() || match.password.size() == 4 || match.password.size() == 6);
        FUZZ_CHECK(match.password.empty() || match.password.data() == payload.data() + end);
        FUZZ_CHECK(match.password.empty() || end + match.password.size() == payload.size());
        FUZZ_CHECK(NearMissReason(match).empty());
        return;
    }
    FUZZ_CHECK(match.equalCopies < kMagicCopies);
    FUZZ_CHECK(match.password.empty());
    FUZZ_CHECK(!NearMissReason(match).empty());
    const std::size_t next = match.offset + 6 + std::size_t(match.equalCopies) * 6;
    if (match.payloadEnded)
        FUZZ_CHECK(next + 6 > payload.size());
    else
        FUZZ_CHECK(next + 6 <= payload.size() && std::memcmp(payload.data() + next, match.mac.data(), 6) != 0);
}

// The capture's filter, compiled as for an Ethernet interface.
const bpf_program &CaptureFilter()
{
    static const bpf_program program = [] {
        bpf_program compiled{};
        pcap_t *const dead = pcap_open_dead(DLT_EN10MB, 262144);
        if (dead == nullptr || pcap_compile(dead, &compiled, PcapLinkCapture::kFilter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
            std::fprintf(stderr, "cannot compile the capture filter\n");
            std::abort();
        }
        pcap_close(dead);
        return compiled;
    }();
    return program;
}

// The capture's filter with these sources, as libpcap compiles FilterWithSources and as
// the capture joins them to the compiled filter.
struct WithSources
{
    explicit WithSources(const std::vector<MacAddress> &macs)
    {
        pcap_t *const dead = pcap_open_dead(DLT_EN10MB, 262144);
        if (dead == nullptr
            || pcap_compile(dead, &compiled, PcapLinkCapture::FilterWithSources(macs).c_str(), 1, PCAP_NETMASK_UNKNOWN)
                   != 0) {
            std::fprintf(stderr, "cannot compile the capture filter with sources\n");
            std::abort();
        }
        joined = PcapLinkCapture::WithSources(CaptureFilter().bf_insns, CaptureFilter().bf_len, macs,
                                              bpf_u_int32(pcap_snapshot(dead)));
        built = {u_int(joined.size()), joined.data()};
        pcap_close(dead);
    }
    bpf_program compiled{};
    std::vector<bpf_insn> joined;
    bpf_program built{};
};

// The corpus's frames come from 02:00:00:00:00:02; the others differ from it in the
// first two or the last four bytes.
const WithSources &Sources(bool withCorpusSender)
{
    static const WithSources without({MacAddress{0x12, 0, 0, 0, 0, 2}, MacAddress{0x02, 0, 0, 0, 0, 3}});
    static const WithSources with({MacAddress{0x12, 0, 0, 0, 0, 2}, MacAddress{0x02, 0, 0, 0, 0, 2},
                                   MacAddress{0x02, 0, 0, 0, 0, 3}});
    return withCorpusSender ? with : without;
}

bool LetsThrough(const bpf_program &program, const std::uint8_t *data, std::size_t size)
{
    pcap_pkthdr header{};
    header.caplen = header.len = bpf_u_int32(size);
    return pcap_offline_filter(&program, &header, data) != 0;
}

std::uint16_t Read16At(const std::uint8_t *data, std::size_t offset)
{
    return std::uint16_t(data[offset] << 8 | data[offset + 1]);
}

bool FilterLetsThrough(const std::uint8_t *data, std::size_t size)
{
    return LetsThrough(CaptureFilter(), data, size);
}

// A UDP payload of MPEG transport stream packets, which the filter turns away: bare
// over IPv4 or IPv6, or behind an RTP header of payload type 33 over IPv4.
bool TransportStream(const WireFrame &frame)
{
    const ByteView payload = frame.payload;
    if (frame.carrier != Carrier::Udp)
        return false;
    const bool bare = payload.size() >= 188 && payload.size() % 188 == 0 && payload[0] == 0x47;
    const bool rtp = frame.family == Family::Ipv4 && payload.size() >= 200 && (payload.size() - 12) % 188 == 0
                     && (payload[0] & 0xC0) == 0x80 && (payload[1] & 0x7F) == 33 && payload[12] == 0x47;
    return bare || rtp;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const ByteView bytes(data, size);
    CheckMatch(FindMagic(bytes), bytes);
    for (const bool withCorpusSender : {false, true}) {
        const WithSources &sources = Sources(withCorpusSender);
        FUZZ_CHECK(LetsThrough(sources.built, data, size) == LetsThrough(sources.compiled, data, size));
    }

    const std::optional<EthernetFrame> ethernet = UnwrapEthernet(bytes);
    FUZZ_CHECK(ethernet.has_value() == (size >= 14));
    const std::optional<SignOfLife> sign = ethernet ? std::optional<SignOfLife>(ReadSignOfLife(*ethernet)) : std::nullopt;
    if (sign) {
        FUZZ_CHECK(std::memcmp(sign->sourceMac.data(), data + 6, 6) == 0);
        FUZZ_CHECK(!SignOfLifeText(*sign).empty());
        if (sign->kind == SignOfLife::Kind::Arp)
            FUZZ_CHECK(sign->address && FilterLetsThrough(data, size));
        // The quick test never turns away what ARP or DHCP tells, untagged or behind one 802.1Q tag.
        const auto isTag = [](std::uint16_t type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; };
        const bool untagged = !isTag(Read16At(data, 12));
        const bool oneTag = size >= 18 && Read16At(data, 12) == 0x8100 && !isTag(Read16At(data, 16));
        if ((sign->kind == SignOfLife::Kind::Arp || sign->kind == SignOfLife::Kind::Dhcp) && (untagged || oneTag))
            FUZZ_CHECK(IsArpOrDhcp(*ethernet));
        if (sign->kind == SignOfLife::Kind::Dhcp)
            FUZZ_CHECK(sign->etherType == 0x0800 && (!sign->hostName || sign->hostName->size() <= 255));
        if (sign->kind != SignOfLife::Kind::Frame)
            FUZZ_CHECK(sign->etherType == 0x0800 || sign->etherType == 0x0806 || sign->etherType == 0x86DD);
    }

    const std::optional<WireFrame> frame = ethernet ? DecodeFrame(*ethernet) : std::nullopt;
    if (!frame)
        return 0;
    FUZZ_CHECK(size >= 14);
    FUZZ_CHECK(FilterLetsThrough(data, size) || TransportStream(*frame));
    FUZZ_CHECK(std::memcmp(frame->destinationMac.data(), data, 6) == 0);
    FUZZ_CHECK(std::memcmp(frame->sourceMac.data(), data + 6, 6) == 0);
    FUZZ_CHECK(Inside(frame->payload, bytes));
    FUZZ_CHECK(frame->magic.kind != MagicKind::None);
    CheckMatch(frame->magic, frame->payload);
    if (frame->carrier == Carrier::Ethernet) {
        FUZZ_CHECK(frame->family == Family::None && frame->sourcePort == 0 && frame->destinationPort == 0);
        FUZZ_CHECK(frame->payload.data() + frame->payload.size() == data + size);
    } else {
        FUZZ_CHECK(frame->family != Family::None);
    }
    if (frame->strict)
        FUZZ_CHECK(frame->family == Family::Ipv4 && frame->payload.size() == 102 && frame->magic.offset == 0
                   && frame->magic.kind == MagicKind::Magic);
    return 0;
}
