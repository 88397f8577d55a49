#pragma once

#include "eventsink.h"
#include "wakerelay.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
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
// threads read the same atomic values. It takes every event, whatever --mac shows.
class WatchMetrics final : public EventSink
{
public:
    // `machines`: those whose state is kept (--machine), labelled by name and MAC.
    WatchMetrics(const std::vector<MacAddress> &namedMacs, const std::string &version,
                 const std::vector<WatchedMachine> &machines = {});

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override; // the raw socket alone
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;
    // The capture's count of dropped frames, as it stands.
    void CaptureDropsNow(std::uint64_t framesSoFar);
    // When each watched machine was last heard from, as things stand.
    void MachinesNow(const MachineStates &states);

    std::shared_ptr<prometheus::Registry> Registry() const { return m_registry; }

private:
    struct Target
    {
        prometheus::Counter *packets;
        prometheus::Counter *woke;
        prometheus::Counter *noSignOfLife;
        prometheus::Gauge *lastPacket;
    };

    struct Machine
    {
        std::map<std::string, std::string> labels;
        prometheus::Gauge *awake = nullptr;    // added once its state is known
        prometheus::Gauge *lastSeen = nullptr; // added once it was heard from
        prometheus::Counter *woke;
        prometheus::Counter *noSignOfLife;
        prometheus::Histogram *wakeDuration;
    };

    void PacketSeen(const MacAddress &mac, const std::map<std::string, std::string> &labels,
                    std::optional<RealTime> kernelTime);

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
    std::map<MacAddress, Target> m_targets;
    prometheus::Family<prometheus::Gauge> *m_machineAwake;
    prometheus::Family<prometheus::Gauge> *m_machineLastSeen;
    std::map<MacAddress, Machine> m_machines;
    std::uint64_t m_captureDropsCounted = 0;
};

// The MQTT connection of a sensor and the wakes asked of it, in the watch's registry.
class RelayMetrics
{
public:
    explicit RelayMetrics(prometheus::Registry &registry);

    void Connected(bool connected);
    // Publishes given up: events beyond the queue while the broker was away.
    void Dropped(std::uint64_t count);
    void RequestEnded(RequestEnd end);

private:
    prometheus::Gauge *m_connected;
    prometheus::Counter *m_dropped;
    std::map<RequestEnd, prometheus::Counter *> m_requests;
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
