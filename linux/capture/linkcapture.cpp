#include "linkcapture.h"
#include "protocols.h"

#include <QSocketNotifier>
#include <QTimer>

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>

#include <linux/if_packet.h>
#include <sys/socket.h>

namespace {

constexpr int kSnapshotLength = 262144; // the largest, as tcpdump takes it
constexpr int kBufferBytes = 8 << 20;
// Frames are handed over a ring block at a time; a block that fills more slowly
// than this is handed over anyway.
constexpr int kBlockTimeoutMs = 50;
// After a pass over the ring the capture rests, so that a flood costs one wake-up
// for many blocks rather than one for each: as long as the ring would take to fill
// halfway at the rate the frames of the pass came in, and 40 ms at most.
constexpr int kLongestRestMs = 40;
constexpr double kRestBudgetBytes = kBufferBytes / 2.0;
constexpr std::uint64_t kRingBytesBesidesFrame = 96; // the ring's own headers, about
constexpr std::int64_t kShortestSpanUs = 100;

std::int64_t Microseconds(const timeval &time)
{
    return std::int64_t(time.tv_sec) * 1000000 + time.tv_usec;
}

int RestAfterPass(std::uint64_t ringBytes, std::int64_t spanUs)
{
    const double bytesPerMs = double(ringBytes) * 1000.0 / double(std::max(spanUs, kShortestSpanUs));
    return int(std::min(double(kLongestRestMs), kRestBudgetBytes / bytesPerMs));
}

// Six 0xFF bytes and one MAC copy, the least that counts even as a near miss, take
// a UDP length of 20 and an IPv6 payload of 20. IPv4's udp[] skips the options; for
// IPv6, UDP or an extension header comes first. ARP tells of machines waking and
// of senders asking for a sleeping one.
// MPEG transport streams (IPTV, video distribution), bare or behind an RTP header of
// payload type 33, stuff their 188-byte packets with 0xFF: datagrams made of such
// packets, each starting with the sync byte 0x47, stay in the kernel. Each test of
// length comes before the load it guards, so that no load reaches past the packet.
#define TRANSPORT_STREAM_UDP                                                                                          \
    "(udp[4:2] >= 196 and udp[8] == 0x47 and (udp[4:2] - 8) % 188 == 0) "                                            \
    "or (udp[4:2] >= 208 and udp[8] & 0xC0 == 0x80 and udp[9] & 0x7F == 33 and udp[20] == 0x47 "                     \
    "and (udp[4:2] - 20) % 188 == 0)"
#define TRANSPORT_STREAM_UDP6 "(ip6[6] == 17 and ip6[4:2] >= 196 and ip6[44:2] >= 196 and ip6[48] == 0x47 and (ip6[44:2] - 8) % 188 == 0)"
#define CANDIDATES                                                                                                    \
    "arp or ether proto 0x0842 or (udp and udp[4:2] >= 20 and not (" TRANSPORT_STREAM_UDP ")) "                      \
    "or (ip6 and ip6[4:2] >= 20 and (ip6[6] == 17 or ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 44 "                    \
    "or ip6[6] == 51 or ip6[6] == 60) and not " TRANSPORT_STREAM_UDP6 ")"

} // namespace

const char *const PcapLinkCapture::kFilter = CANDIDATES " or (vlan and (" CANDIDATES " or (vlan and (" CANDIDATES "))))";

struct PcapLinkCapture::Handle
{
    ~Handle()
    {
        rest.reset();
        notifier.reset();
        pcap_close(pcap);
    }

    std::string name;
    pcap_t *pcap = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> rest;
    LinkCapture *owner = nullptr;
    // What the pass under way has read.
    std::uint64_t passRingBytes = 0;
    std::int64_t passFirstUs = 0;
    std::int64_t passLastUs = 0;
};

PcapLinkCapture::PcapLinkCapture() = default;

PcapLinkCapture::~PcapLinkCapture()
{
    Close();
}

bool PcapLinkCapture::Open(const std::string &interfaceName)
{
    Close();
    if (!interfaceName.empty()) {
        std::string failure;
        if (!OpenOne(interfaceName, failure)) {
            m_lastError = interfaceName + ": " + failure;
            return false;
        }
        return true;
    }

    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *devices = nullptr;
    if (pcap_findalldevs(&devices, errorBuffer) != 0) {
        m_lastError = errorBuffer;
        return false;
    }
    std::string failures;
    for (const pcap_if_t *device = devices; device != nullptr; device = device->next) {
        std::string failure;
        // "any" would hand frames over without their Ethernet header.
        if (std::string(device->name) != "any" && !OpenOne(device->name, failure) && !failure.empty())
            failures += (failures.empty() ? "" : "; ") + std::string(device->name) + ": " + failure;
    }
    pcap_freealldevs(devices);
    if (m_handles.empty()) {
        m_lastError = failures.empty() ? "no interface carries Ethernet frames" : failures;
        return false;
    }
    return true;
}

// A failure stays empty for an interface that is simply not Ethernet.
bool PcapLinkCapture::OpenOne(const std::string &name, std::string &failure)
{
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    auto handle = std::make_unique<Handle>();
    handle->name = name;
    handle->owner = this;
    handle->pcap = pcap_create(name.c_str(), errorBuffer);
    if (handle->pcap == nullptr) {
        failure = errorBuffer;
        return false;
    }
    pcap_set_snaplen(handle->pcap, kSnapshotLength);
    pcap_set_promisc(handle->pcap, m_promiscuous ? 1 : 0);
    pcap_set_timeout(handle->pcap, kBlockTimeoutMs);
    pcap_set_buffer_size(handle->pcap, kBufferBytes);
    const int activated = pcap_activate(handle->pcap);
    if (activated < 0) {
        failure = pcap_geterr(handle->pcap);
        if (failure.empty())
            failure = pcap_statustostr(activated);
        return false;
    }
    if (pcap_datalink(handle->pcap) != DLT_EN10MB)
        return false;
    if (pcap_setdirection(handle->pcap, PCAP_D_IN) != 0) {
        failure = pcap_geterr(handle->pcap);
        return false;
    }
    // Compiling is most of the cost of opening: once for all interfaces.
    if (m_filter.empty()) {
        bpf_program compiled{};
        if (pcap_compile(handle->pcap, &compiled, kFilter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
            failure = pcap_geterr(handle->pcap);
            return false;
        }
        m_filter.assign(compiled.bf_insns, compiled.bf_insns + compiled.bf_len);
        m_accept = std::uint32_t(pcap_snapshot(handle->pcap));
        pcap_freecode(&compiled);
    }
    bpf_program program{u_int(m_filter.size()), m_filter.data()};
    // libpcap sorts out the outgoing frames only once they are in the ring; the
    // kernel can keep them out, which halves the work on loopback. Without it
    // (before Linux 4.20) libpcap's own test still holds.
    const int ignoreOutgoing = 1;
    ::setsockopt(pcap_fileno(handle->pcap), SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignoreOutgoing,
                 sizeof ignoreOutgoing);
    const int filtered = pcap_setfilter(handle->pcap, &program);
    if (filtered != 0 || pcap_setnonblock(handle->pcap, 1, errorBuffer) != 0
        || pcap_get_selectable_fd(handle->pcap) < 0) {
        failure = filtered != 0 ? pcap_geterr(handle->pcap) : errorBuffer;
        if (failure.empty())
            failure = "no descriptor to wait on";
        return false;
    }
    m_handles.push_back(std::move(handle));
    return true;
}

std::string PcapLinkCapture::FilterWithSources(const std::vector<MacAddress> &macs)
{
    std::string filter = kFilter;
    for (const MacAddress &mac : macs)
        filter += " or ether src " + FormatMac(mac, ':');
    return filter;
}

std::vector<bpf_insn> PcapLinkCapture::WithSources(const bpf_insn *program, std::size_t length,
                                                   const std::vector<MacAddress> &macs, std::uint32_t accept)
{
    std::vector<bpf_insn> combined(program, program + length);
    if (macs.empty())
        return combined;
    // Each "ret #0" becomes a jump to the sources, appended where it only jumps forward.
    for (std::size_t at = 0; at < combined.size(); ++at) {
        if (combined[at].code == (BPF_RET | BPF_K) && combined[at].k == 0)
            combined[at] = BPF_STMT(BPF_JMP | BPF_JA, bpf_u_int32(length - at - 1));
    }
    // As libpcap compiles "ether src": the last four bytes of the address, then the first two.
    combined.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kEthernetSourceOffset + 2));
    for (const MacAddress &mac : macs) {
        const bpf_u_int32 last4 = bpf_u_int32(mac[2]) << 24 | bpf_u_int32(mac[3]) << 16 | bpf_u_int32(mac[4]) << 8 | mac[5];
        const bpf_u_int32 first2 = bpf_u_int32(mac[0]) << 8 | mac[1];
        combined.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, last4, 0, 4)); // else the next MAC
        combined.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kEthernetSourceOffset));
        combined.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first2, 0, 1));
        combined.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
        combined.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kEthernetSourceOffset + 2));
    }
    combined.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    return combined;
}

// The program compiled at Open, with the sources added to it: compiling anew would
// cost as much as opening. The kernel swaps it in, and libpcap runs it over every ring
// block that holds frames then, in its own interpreter: the frames are handed over
// first, as a pass a moment later would have, so that it runs over one block at most.
void PcapLinkCapture::SetWatchedSources(const std::vector<MacAddress> &macs)
{
    if (m_filter.empty())
        return;
    std::vector<bpf_insn> instructions = WithSources(m_filter.data(), m_filter.size(), macs, m_accept);
    bpf_program program{u_int(instructions.size()), instructions.data()};
    bool handedOver = false;
    for (const std::unique_ptr<Handle> &handle : m_handles) {
        if (handle->notifier)
            handedOver = ReadRing(*handle) || handedOver;
        pcap_setfilter(handle->pcap, &program);
    }
    if (handedOver && OnFramesHandled)
        OnFramesHandled();
}

void PcapLinkCapture::Start()
{
    for (const std::unique_ptr<Handle> &handle : m_handles) {
        if (handle->notifier)
            continue;
        handle->notifier =
            std::make_unique<QSocketNotifier>(pcap_get_selectable_fd(handle->pcap), QSocketNotifier::Read);
        handle->rest = std::make_unique<QTimer>();
        handle->rest->setSingleShot(true);
        Handle *const raw = handle.get();
        QObject::connect(handle->rest.get(), &QTimer::timeout, handle->rest.get(),
                         [raw] { raw->notifier->setEnabled(true); });
        QObject::connect(handle->notifier.get(), &QSocketNotifier::activated, handle->notifier.get(), [raw] {
            if (!ReadRing(*raw))
                return;
            raw->notifier->setEnabled(false);
            raw->rest->start(RestAfterPass(raw->passRingBytes, raw->passLastUs - raw->passFirstUs));
            if (raw->owner->OnFramesHandled)
                raw->owner->OnFramesHandled();
        });
    }
}

bool PcapLinkCapture::ReadRing(Handle &handle)
{
    handle.passRingBytes = 0;
    const int frames = pcap_dispatch(
        handle.pcap, -1,
        [](u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
            Handle *const self = reinterpret_cast<Handle *>(user);
            self->passLastUs = Microseconds(header->ts);
            if (self->passRingBytes == 0)
                self->passFirstUs = self->passLastUs;
            self->passRingBytes += header->caplen + kRingBytesBesidesFrame;
            if (self->owner->OnFrame)
                self->owner->OnFrame(self->name, ByteView(bytes, header->caplen),
                                    RealTime(std::chrono::microseconds(self->passLastUs)));
        },
        reinterpret_cast<u_char *>(&handle));
    return frames > 0;
}

void PcapLinkCapture::ReadQueued()
{
    for (const std::unique_ptr<Handle> &handle : m_handles)
        ReadRing(*handle);
}

void PcapLinkCapture::Close()
{
    m_handles.clear();
    m_filter.clear();
}

std::vector<std::string> PcapLinkCapture::Interfaces() const
{
    std::vector<std::string> names;
    for (const std::unique_ptr<Handle> &handle : m_handles)
        names.push_back(handle->name);
    return names;
}

std::uint64_t PcapLinkCapture::Drops()
{
    std::uint64_t drops = 0;
    for (const std::unique_ptr<Handle> &handle : m_handles) {
        pcap_stat stats{};
        if (pcap_stats(handle->pcap, &stats) == 0)
            drops += stats.ps_drop;
    }
    return drops;
}
