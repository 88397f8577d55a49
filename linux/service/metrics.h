#pragma once

#include "arpwatch.h"
#include "magicevent.h"
#include "packetreport.h"
#include "sweeps.h"
#include "wakewatch.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
}

// The watch's counts as Prometheus metrics. Labels take only values of which
// there are few: interfaces, carriers, families, outcomes; a MAC address only
// for the machines named on the command line, so the series stay bounded
// whatever the traffic. Counting happens on the event loop; the web server's
// threads read the same atomic values.
class WatchMetrics
{
public:
    WatchMetrics(const std::vector<std::string> &namedMacs, const std::string &version);

    void MagicSeen(const MagicEvent &event);
    void DatagramSeen(const PacketReport &report); // the raw socket alone
    void OutcomeSeen(const WakeOutcome &outcome);
    void UnansweredArpSeen();
    void SweepSeen();
    void SocketDropped(std::uint64_t datagrams);
    void CaptureDropsNow(std::uint64_t framesSoFar);
    void ReceiveFailed();

    std::shared_ptr<prometheus::Registry> Registry() const { return m_registry; }

private:
    struct Target
    {
        prometheus::Counter *packets;
        prometheus::Counter *woke;
        prometheus::Counter *noSignOfLife;
        prometheus::Gauge *lastPacket;
    };

    void PacketSeen(const std::string &mac, const std::map<std::string, std::string> &labels,
                    std::int64_t kernelTimeNs);

    std::shared_ptr<prometheus::Registry> m_registry;
    prometheus::Family<prometheus::Counter> *m_magic;
    prometheus::Family<prometheus::Counter> *m_nearMisses;
    prometheus::Counter *m_woke;
    prometheus::Counter *m_noSignOfLife;
    prometheus::Counter *m_unansweredArp;
    prometheus::Counter *m_sweeps;
    prometheus::Counter *m_socketDrops;
    prometheus::Counter *m_captureDrops;
    prometheus::Counter *m_receiveErrors;
    prometheus::Gauge *m_lastMagic;
    std::map<std::string, Target> m_targets;
    std::uint64_t m_captureDropsCounted = 0;
};

// Serves the registry at /metrics, and a page that says what this is at /, on
// the web server prometheus-cpp brings. Its threads start here: call it once the
// process holds no capability.
class MetricsServer
{
public:
    // `listenAddress` as MetricsListenAddress() gives it. Null, with `error` said,
    // when the address cannot be listened on.
    static std::unique_ptr<MetricsServer> Start(const std::string &listenAddress,
                                                const std::shared_ptr<prometheus::Registry> &registry,
                                                std::string *error);
    ~MetricsServer();

    int Port() const;

private:
    explicit MetricsServer(std::unique_ptr<prometheus::Exposer> exposer);
    std::unique_ptr<prometheus::Exposer> m_exposer;
};
