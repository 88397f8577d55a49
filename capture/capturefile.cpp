#include "capturefile.h"

#include <pcap/pcap.h>

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
    m_name = path == "-" ? "standard input" : path;
    return true;
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
            // With nanosecond precision the field holds nanoseconds.
            const std::int64_t timeNs = std::int64_t(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
            if (self->OnFrame)
                self->OnFrame(self->m_name, ByteView(bytes, header->caplen), timeNs);
        },
        reinterpret_cast<u_char *>(this));
    if (frames > 0)
        return;
    m_slices.stop();
    const std::string error = frames < 0 && m_pcap ? pcap_geterr(m_pcap) : "";
    if (OnEnd)
        OnEnd(error);
}

void PcapFileCapture::Close()
{
    m_slices.stop();
    if (m_pcap != nullptr)
        pcap_close(m_pcap);
    m_pcap = nullptr;
}
