#include "metrics.h"

#include <prometheus/exposer.h>

#include <CivetServer.h>
#include <civetweb.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;

const char *const kLandingPage =
    "<!DOCTYPE html>\n<html><head><title>Corvalen</title></head><body>\n"
    "<h1>Corvalen</h1>\n"
    "<p>The Wake-on-LAN magic packets on this segment, and whether the machines woke.</p>\n"
    "<p><a href=\"/metrics\">Metrics</a></p>\n"
    "</body></html>\n";

std::string FlagLabel(const std::optional<bool> &flag)
{
    return flag ? (*flag ? "true" : "false") : "unknown";
}

double Seconds(RealTime time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// civetweb says why it could not start through its log; the exception does not.
std::mutex g_serverLogMutex;
std::string g_serverLog;

int KeepServerLog(const mg_connection *, const char *message)
{
    const std::lock_guard lock(g_serverLogMutex);
    if (g_serverLog.empty())
        g_serverLog = message; // the first says why; the others that it failed
    return 1; // not on standard error
}

int ServeLandingPage(mg_connection *connection)
{
    const mg_request_info *request = mg_get_request_info(connection);
    if (!request || !request->local_uri || std::strcmp(request->local_uri, "/") != 0)
        return 0; // the registry's handler, or civetweb's 404
    mg_printf(connection,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n",
              std::strlen(kLandingPage));
    if (std::strcmp(request->request_method, "HEAD") != 0)
        mg_write(connection, kLandingPage, std::strlen(kLandingPage));
    return 200;
}

template <typename Builder>
auto &Registered(Builder builder, const char *name, const char *help, prometheus::Registry &registry)
{
    return builder.Name(name).Help(help).Register(registry);
}

} // namespace

WatchMetrics::WatchMetrics(const std::vector<MacAddress> &namedMacs, const std::string &version,
                           const std::vector<WatchedMachine> &machines)
    : m_registry(std::make_shared<prometheus::Registry>())
{
    prometheus::Registry &registry = *m_registry;
    m_magic = &Registered(BuildCounter(), "corvalen_magic_packets_total",
                          "Magic packets seen, by interface, carrier (udp or ethernet), address family (ipv4, ipv6 "
                          "or none), and whether the raw UDP socket got them (delivered: true, false or unknown)",
                          registry);
    m_nearMisses = &Registered(BuildCounter(), "corvalen_near_misses_total",
                               "Packets that were almost magic packets, which wake no machine, by interface", registry);
    auto &outcomes = Registered(BuildCounter(), "corvalen_wake_outcomes_total",
                                "Watches of machines that magic packets were for, by how they ended: woke, or "
                                "no_sign_of_life within the wake timeout",
                                registry);
    m_woke = &outcomes.Add({{"outcome", "woke"}});
    m_noSignOfLife = &outcomes.Add({{"outcome", "no_sign_of_life"}});
    m_unansweredArp = &Registered(BuildCounter(), "corvalen_unanswered_arp_total",
                                  "ARP requests for a sleeping machine's address that went unanswered after a "
                                  "magic packet for it",
                                  registry)
                           .Add({});
    m_sweeps = &Registered(BuildCounter(), "corvalen_sweeps_total",
                           "Senders that sent magic packets for many machines within 10 s", registry)
                    .Add({});
    m_socketDrops = &Registered(BuildCounter(), "corvalen_socket_dropped_datagrams_total",
                                "Datagrams the kernel dropped before the raw socket read them", registry)
                         .Add({});
    m_captureDrops = &Registered(BuildCounter(), "corvalen_capture_dropped_frames_total",
                                 "Frames the kernel dropped before the link-layer capture read them", registry)
                          .Add({});
    m_receiveErrors = &Registered(BuildCounter(), "corvalen_receive_errors_total",
                                  "Receives from the raw socket that failed", registry)
                           .Add({});
    m_lastMagic = &Registered(BuildGauge(), "corvalen_last_magic_packet_timestamp_seconds",
                              "When the last magic packet came, in seconds since the epoch", registry)
                       .Add({});
    Registered(BuildGauge(), "corvalen_build_info", "The version of corvalen-cli, as a label; always 1", registry)
        .Add({{"version", version}})
        .Set(1);

    auto &targetPackets = Registered(BuildCounter(), "corvalen_target_magic_packets_total",
                                     "Magic packets for each machine named with --mac", registry);
    auto &targetOutcomes = Registered(BuildCounter(), "corvalen_target_wake_outcomes_total",
                                      "Watches of each machine named with --mac, by how they ended", registry);
    auto &targetLast = Registered(BuildGauge(), "corvalen_target_last_magic_packet_timestamp_seconds",
                                  "When the last magic packet for each machine named with --mac came", registry);
    for (const MacAddress &mac : namedMacs) {
        const std::string label = FormatMac(mac);
        m_targets[mac] = {&targetPackets.Add({{"mac", label}}),
                          &targetOutcomes.Add({{"mac", label}, {"outcome", "woke"}}),
                          &targetOutcomes.Add({{"mac", label}, {"outcome", "no_sign_of_life"}}),
                          &targetLast.Add({{"mac", label}})};
    }

    m_machineAwake = &Registered(BuildGauge(), "corvalen_machine_awake",
                                 "Whether each machine named with --machine is awake (1) or asleep (0); absent "
                                 "until known",
                                 registry);
    m_machineLastSeen = &Registered(BuildGauge(), "corvalen_machine_last_seen_timestamp_seconds",
                                    "When a frame last came from each machine named with --machine, or it last "
                                    "answered ARP, in seconds since the epoch",
                                    registry);
    auto &machineWakes = Registered(BuildCounter(), "corvalen_machine_wakes_total",
                                    "Watches of each machine named with --machine after a magic packet for it, by "
                                    "how they ended: woke, or no_sign_of_life",
                                    registry);
    auto &machineWakeDuration = prometheus::BuildHistogram()
                                    .Name("corvalen_machine_wake_duration_seconds")
                                    .Help("For each machine named with --machine that woke, the time from the first "
                                          "magic packet to its first sign of life")
                                    .Register(registry);
    for (const WatchedMachine &machine : machines) {
        Machine &added = m_machines[machine.mac];
        added.labels = {{"machine", machine.name}, {"mac", FormatMac(machine.mac)}};
        auto outcome = [&added](const char *name) {
            std::map<std::string, std::string> labels = added.labels;
            labels["outcome"] = name;
            return labels;
        };
        added.woke = &machineWakes.Add(outcome("woke"));
        added.noSignOfLife = &machineWakes.Add(outcome("no_sign_of_life"));
        added.wakeDuration = &machineWakeDuration.Add(
            added.labels, prometheus::Histogram::BucketBoundaries{1, 2, 5, 10, 15, 20, 30, 45, 60, 90, 120, 180, 300, 600});
    }
}

void WatchMetrics::MachineState(const MachineStateEvent &event)
{
    const auto machine = m_machines.find(event.machine.mac);
    if (machine == m_machines.end())
        return;
    if (!machine->second.awake)
        machine->second.awake = &m_machineAwake->Add(machine->second.labels);
    machine->second.awake->Set(event.awake ? 1 : 0);
}

void WatchMetrics::MachinesNow(const MachineStates &states)
{
    for (const MachineStates::Machine &watched : states.Machines()) {
        const auto machine = m_machines.find(watched.id.mac);
        if (machine == m_machines.end() || !watched.lastSeen)
            continue;
        if (!machine->second.lastSeen)
            machine->second.lastSeen = &m_machineLastSeen->Add(machine->second.labels);
        machine->second.lastSeen->Set(Seconds(*watched.lastSeen));
    }
}

void WatchMetrics::PacketSeen(const MacAddress &mac, const std::map<std::string, std::string> &labels,
                              std::optional<RealTime> kernelTime)
{
    m_magic->Add(labels).Increment();
    const double seconds = kernelTime ? Seconds(*kernelTime) : std::nan("");
    const auto stamp = [seconds](prometheus::Gauge &gauge) {
        if (std::isnan(seconds))
            gauge.SetToCurrentTime();
        else
            gauge.Set(seconds);
    };
    stamp(*m_lastMagic);
    if (const auto target = m_targets.find(mac); target != m_targets.end()) {
        target->second.packets->Increment();
        stamp(*target->second.lastPacket);
    }
}

void WatchMetrics::Magic(const MagicEvent &event)
{
    const std::string interfaceName = event.interfaceName.value_or(std::string());
    if (event.nearMiss) {
        m_nearMisses->Add({{"interface", interfaceName}}).Increment();
        return;
    }
    PacketSeen(event.mac,
               {{"interface", interfaceName},
                {"carrier", CarrierName(event.carrier)},
                {"family", FamilyName(event.family) ? FamilyName(event.family) : "none"},
                {"delivered", FlagLabel(event.delivered)}},
               event.kernelTime);
}

void WatchMetrics::Datagram(const PacketReport &report)
{
    Magic(EventFromDatagram(report));
}

void WatchMetrics::Outcome(const WakeOutcome &outcome)
{
    if (outcome.cutShort)
        return; // nothing is known of it
    (outcome.woke ? m_woke : m_noSignOfLife)->Increment();
    if (const auto target = m_targets.find(outcome.mac); target != m_targets.end())
        (outcome.woke ? target->second.woke : target->second.noSignOfLife)->Increment();
    if (const auto machine = m_machines.find(outcome.mac); machine != m_machines.end()) {
        (outcome.woke ? machine->second.woke : machine->second.noSignOfLife)->Increment();
        if (outcome.woke)
            machine->second.wakeDuration->Observe(std::chrono::duration<double>(outcome.end - outcome.first).count());
    }
}

void WatchMetrics::Unanswered(const UnansweredArp &)
{
    m_unansweredArp->Increment();
}

// The metrics count what the segment carries; --wake is a command's, not the service's.
void WatchMetrics::Sent(const SentPacket &) {}

void WatchMetrics::Sweep(const SweepEvent &)
{
    m_sweeps->Increment();
}

void WatchMetrics::Failure(const ReceiveFailure &failure)
{
    if (failure.dropped > 0)
        m_socketDrops->Increment(double(failure.dropped));
    else
        m_receiveErrors->Increment();
}

void WatchMetrics::CaptureDropsNow(std::uint64_t framesSoFar)
{
    if (framesSoFar > m_captureDropsCounted)
        m_captureDrops->Increment(double(framesSoFar - m_captureDropsCounted));
    m_captureDropsCounted = framesSoFar;
}

std::unique_ptr<MetricsServer> MetricsServer::Start(const std::string &listenAddress,
                                                    const std::shared_ptr<prometheus::Registry> &registry,
                                                    std::string *error)
{
    static CivetCallbacks callbacks{};
    callbacks.begin_request = ServeLandingPage;
    callbacks.log_message = KeepServerLog;
    {
        const std::lock_guard lock(g_serverLogMutex);
        g_serverLog.clear();
    }
    try {
        auto exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", listenAddress, "num_threads", "2"}, &callbacks);
        exposer->RegisterCollectable(registry);
        return std::unique_ptr<MetricsServer>(new MetricsServer(std::move(exposer)));
    } catch (const std::exception &exception) {
        const std::lock_guard lock(g_serverLogMutex);
        if (error)
            *error = g_serverLog.empty() ? exception.what() : g_serverLog;
        return nullptr;
    }
}

MetricsServer::MetricsServer(std::unique_ptr<prometheus::Exposer> exposer)
    : m_exposer(std::move(exposer))
{
}

MetricsServer::~MetricsServer() = default;

int MetricsServer::Port() const
{
    const std::vector<int> ports = m_exposer->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

RelayMetrics::RelayMetrics(prometheus::Registry &registry)
{
    m_connected = &Registered(BuildGauge(), "corvalen_mqtt_connected",
                              "1 while the sensor is connected to its MQTT broker, 0 while it is not", registry)
                       .Add({});
    m_dropped = &Registered(BuildCounter(), "corvalen_mqtt_publishes_dropped_total",
                            "Events not published because the queue for the broker was full while it was away",
                            registry)
                     .Add({});
    auto &requests = Registered(BuildCounter(), "corvalen_mqtt_wake_requests_total",
                                "Wake requests that came over MQTT, by how they ended: woke, no_sign_of_life, "
                                "refused, or failed (nothing could be sent, or whether it woke cannot be told)",
                                registry);
    for (const RequestEnd end : {RequestEnd::Woke, RequestEnd::NoSignOfLife, RequestEnd::Refused, RequestEnd::Failed})
        m_requests[end] = &requests.Add({{"outcome", RequestEndName(end)}});
}

void RelayMetrics::Connected(bool connected)
{
    m_connected->Set(connected ? 1 : 0);
}

void RelayMetrics::Dropped(std::uint64_t count)
{
    m_dropped->Increment(double(count));
}

void RelayMetrics::RequestEnded(RequestEnd end)
{
    m_requests[end]->Increment();
}
