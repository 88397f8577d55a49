#include "linkcapture.h"

#include <QSocketNotifier>

#include <pcap/pcap.h>

namespace {

constexpr int kSnapshotLength = 262144; // the largest, as tcpdump takes it
constexpr int kBufferBytes = 8 << 20;
// Frames are handed over a ring block at a time; a block that fills more slowly
// than this is handed over anyway.
constexpr int kBlockTimeoutMs = 50;

#define CANDIDATES                                                                                                    \
    "ether proto 0x0842 or udp or (ip6 and (ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 44 or ip6[6] == 51 "             \
    "or ip6[6] == 60))"

} // namespace

const char *const PcapLinkCapture::kFilter = CANDIDATES " or (vlan and (" CANDIDATES " or (vlan and (" CANDIDATES "))))";

struct PcapLinkCapture::Handle
{
    ~Handle()
    {
        notifier.reset();
        pcap_close(pcap);
    }

    std::string name;
    pcap_t *pcap = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    LinkCapture *owner = nullptr;
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
    pcap_set_promisc(handle->pcap, 0);
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
    bpf_program program{};
    if (pcap_setdirection(handle->pcap, PCAP_D_IN) != 0
        || pcap_compile(handle->pcap, &program, kFilter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        failure = pcap_geterr(handle->pcap);
        return false;
    }
    const int filtered = pcap_setfilter(handle->pcap, &program);
    pcap_freecode(&program);
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

void PcapLinkCapture::Start()
{
    for (const std::unique_ptr<Handle> &handle : m_handles) {
        if (handle->notifier)
            continue;
        handle->notifier =
            std::make_unique<QSocketNotifier>(pcap_get_selectable_fd(handle->pcap), QSocketNotifier::Read);
        Handle *const raw = handle.get();
        QObject::connect(handle->notifier.get(), &QSocketNotifier::activated, handle->notifier.get(), [raw] {
            pcap_dispatch(
                raw->pcap, -1,
                [](u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
                    const Handle *const self = reinterpret_cast<const Handle *>(user);
                    if (self->owner->OnFrame)
                        self->owner->OnFrame(self->name, ByteView(bytes, header->caplen));
                },
                reinterpret_cast<u_char *>(raw));
        });
    }
}

void PcapLinkCapture::Close()
{
    m_handles.clear();
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
