#pragma once

#include "times.h"
#include "wireframe.h"

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct bpf_insn;

// Incoming Ethernet frames that may hold a magic packet, from the link layer of this
// machine's interfaces. Opening needs CAP_NET_RAW and makes no thread, so that it can
// happen before the capabilities are given up; starting arms readiness on the
// thread that will receive the frames.
class LinkCapture
{
public:
    virtual ~LinkCapture() = default;

    // Every interface that carries Ethernet frames, or only `interfaceName` when it is
    // not empty. False, with LastError, when not one could be opened.
    virtual bool Open(const std::string &interfaceName) = 0;
    virtual void Start() = 0;
    // Hands over at once every frame that the kernel has made readable by now.
    virtual void ReadQueued() = 0;
    virtual void Close() = 0;
    virtual std::vector<std::string> Interfaces() const = 0;
    virtual const std::string &LastError() const = 0;
    // Frames the kernel had to drop because they were not read in time, all interfaces together.
    virtual std::uint64_t Drops() = 0;
    // Besides the frames that may hold a magic packet, and ARP, every frame from these
    // MACs: the machines whose wake is being watched.
    virtual void SetWatchedSources(const std::vector<MacAddress> &) {}

    // The frame lives only for the call; `kernelTime` is when the kernel received
    // it, in nanoseconds since the epoch.
    std::function<void(const std::string &interfaceName, ByteView frame, RealTime kernelTime)> OnFrame;
    // After the frames that one wake-up brought, for an owner with other work to do then.
    std::function<void()> OnFramesHandled;
};

// libpcap, one handle per interface so that every frame keeps its Ethernet header.
class PcapLinkCapture final : public LinkCapture
{
public:
    PcapLinkCapture();
    ~PcapLinkCapture() override;
    Q_DISABLE_COPY_MOVE(PcapLinkCapture)

    bool Open(const std::string &interfaceName) override;
    void Start() override;
    void ReadQueued() override;
    void Close() override;
    std::vector<std::string> Interfaces() const override;
    const std::string &LastError() const override { return m_lastError; }
    std::uint64_t Drops() override;
    void SetWatchedSources(const std::vector<MacAddress> &macs) override;
    // Before Open: whether the interfaces go into promiscuous mode.
    void SetPromiscuous(bool promiscuous) { m_promiscuous = promiscuous; }

    // The kernel filter: EtherType 0x0842 and UDP over IPv4 or IPv6 (extension headers
    // included) long enough for a near miss, and ARP, untagged or behind one or two VLAN
    // tags; not UDP made of MPEG transport stream packets, bare or behind RTP.
    static const char *const kFilter;
    // kFilter, and every frame from these MACs.
    static std::string FilterWithSources(const std::vector<MacAddress> &macs);
    // The program libpcap compiled from a filter, and every frame from these MACs, as
    // the filter followed by " or ether src " and each MAC would compile, without
    // compiling again: where the program turns a frame away, the frame's source
    // address is asked for instead. `accept` is what the program returns for a frame
    // it lets through: the handle's snapshot length.
    static std::vector<bpf_insn> WithSources(const bpf_insn *program, std::size_t length,
                                             const std::vector<MacAddress> &macs, std::uint32_t accept);

private:
    struct Handle;
    bool OpenOne(const std::string &name, std::string &failure);
    // False when the ring had nothing.
    static bool ReadRing(Handle &handle);

    std::vector<std::unique_ptr<Handle>> m_handles;
    std::string m_lastError;
    bool m_promiscuous = false;
    // kFilter as libpcap compiled it for the first interface; the others, all
    // Ethernet on this kernel with the same snapshot length, take the same program.
    std::vector<bpf_insn> m_filter;
    std::uint32_t m_accept = 0;
};
