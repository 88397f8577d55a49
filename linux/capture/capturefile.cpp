#include "capturefile.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>

namespace {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescriptionBlock = 0x00000001;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
// The block type, its length, and the first fields of the body: enough for a
// section header's byte-order magic and an interface's link type and snapshot length.
constexpr std::size_t kBlockHeadSize = 16;

std::string LinkTypeName(int linkType)
{
    const char *name = pcap_datalink_val_to_name(linkType);
    return name ? name : std::to_string(linkType);
}

// libpcap reads a pcapng file only while each of its interfaces has the link type
// and the snapshot length of the first, as mergecap and captures on several
// interfaces at once may write them otherwise. Walks the blocks of such a file
// before any frame is read, so that it is refused at once; a file libpcap could not
// open as pcapng, or a damaged one, is left to libpcap to judge.
std::optional<std::string> MixedInterfaces(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::optional<std::pair<std::uint16_t, std::uint32_t>> first; // link type, snapshot length
    bool swapped = false;
    bool inSection = false;
    const auto read32 = [&swapped](const unsigned char *bytes) {
        std::uint32_t value;
        std::memcpy(&value, bytes, sizeof value);
        return swapped ? __builtin_bswap32(value) : value;
    };
    unsigned char head[kBlockHeadSize];
    while (file.read(reinterpret_cast<char *>(head), sizeof head)) {
        std::uint32_t type;
        std::memcpy(&type, head, sizeof type);
        if (type == kSectionHeaderBlock) {
            std::uint32_t magic;
            std::memcpy(&magic, head + 8, sizeof magic);
            if (magic != kByteOrderMagic && magic != __builtin_bswap32(kByteOrderMagic))
                return std::nullopt;
            swapped = magic != kByteOrderMagic;
            inSection = true;
        } else if (!inSection) {
            return std::nullopt; // not pcapng
        }
        const std::uint32_t length = read32(head + 4);
        if (length < 12 || length % 4 != 0)
            return std::nullopt;
        if (read32(head) == kInterfaceDescriptionBlock) {
            const std::uint32_t linkAndReserved = read32(head + 8);
            const std::uint16_t linkType = std::uint16_t(swapped ? linkAndReserved >> 16 : linkAndReserved & 0xFFFF);
            const std::uint32_t snapshotLength = read32(head + 12);
            if (!first) {
                first = {linkType, snapshotLength};
            } else if (linkType != first->first) {
                return "its interfaces have different link types (" + LinkTypeName(first->first) + " and "
                    + LinkTypeName(linkType) + ")";
            } else if (snapshotLength != first->second) {
                return "its interfaces have different snapshot lengths (" + std::to_string(first->second) + " and "
                    + std::to_string(snapshotLength) + ")";
            }
        }
        file.seekg(std::streamoff(length) - std::streamoff(kBlockHeadSize), std::ios::cur);
    }
    return std::nullopt;
}

// libpcap's words for a later interface it does not read.
bool IsMixedInterfacesError(const std::string &error)
{
    return error.find("an interface has a") != std::string::npos
           && error.find("different from the") != std::string::npos;
}

} // namespace

PcapFileCapture::PcapFileCapture()
{
    QObject::connect(&m_slices, &QTimer::timeout, &m_slices, [this] { ReadSlice(); });
}

PcapFileCapture::~PcapFileCapture()
{
    Close();
}

bool PcapFileCapture::Open(const std::string &path)
{
    Close();
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    m_pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errorBuffer);
    if (m_pcap == nullptr) {
        m_lastError = errorBuffer;
        return false;
    }
    if (pcap_datalink(m_pcap) != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(pcap_datalink(m_pcap));
        m_lastError = "not a capture of Ethernet frames (link type " + std::string(name ? name : "unknown")
            + "); capture on the Ethernet interface itself, such as tcpdump -i eth0 -w FILE";
        Close();
        return false;
    }
    if (path != "-") {
        if (const std::optional<std::string> mixed = MixedInterfaces(path)) {
            m_lastError = *mixed + ", which libpcap does not read in one file; " + MixedInterfacesHint(path);
            Close();
            return false;
        }
    }
    m_name = path == "-" ? "standard input" : path;
    m_frames = 0;
    return true;
}

std::string PcapFileCapture::MixedInterfacesHint(const std::string &path)
{
    const std::string in = path == "-" ? "FILE" : path;
    return "keep its Ethernet frames in a pcap file with: tshark -r " + in
        + " -Y eth -w - | editcap -T ether -F pcap - " + in + ".eth.pcap";
}

void PcapFileCapture::Start()
{
    if (m_pcap != nullptr)
        m_slices.start(0);
}

void PcapFileCapture::ReadSlice()
{
    const int frames = pcap_dispatch(
        m_pcap, kFramesPerSlice,
        [](u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
            auto *self = reinterpret_cast<PcapFileCapture *>(user);
            ++self->m_frames;
            // With nanosecond precision the field holds nanoseconds.
            const RealTime time = RealTimeFromNs(std::int64_t(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec);
            if (self->OnFrame)
                self->OnFrame(self->m_name, ByteView(bytes, header->caplen), time);
        },
        reinterpret_cast<u_char *>(this));
    if (frames > 0)
        return;
    m_slices.stop();
    // pcap_dispatch gives 0 at the end of the file, and -1 when the file ends in the
    // middle of a packet or a read fails.
    const std::string error = frames < 0 && m_pcap ? pcap_geterr(m_pcap) : "";
    const Ending ending = error.empty()                 ? Ending::Whole
                          : IsMixedInterfacesError(error) ? Ending::MixedInterfaces
                                                          : Ending::Damaged;
    if (OnEnd)
        OnEnd(ending, error);
}

void PcapFileCapture::Close()
{
    m_slices.stop();
    if (m_pcap != nullptr)
        pcap_close(m_pcap);
    m_pcap = nullptr;
}
