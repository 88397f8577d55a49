#pragma once

#include "consolesinks.h"
#include "homeassistant.h"
#include "machinerecords.h"
#include "metrics.h"
#include "mqttconnection.h"
#include "wakerelay.h"

#include <functional>
#include <map>
#include <set>
#include <string>

// A sensor on an MQTT broker: its status, every event, a record of each machine it
// sees, and the wakes asked of it, whose replies go where each request said; and for
// each watched machine (--machine), its state, its last wake and its Home Assistant
// configs, whose retained copies for machines no longer watched it removes.
class MqttSensor final : public EventSink
{
public:
    using RequestHandler = std::function<void(ByteView payload, const ReplyAddress &to)>;
    using LineWriter = std::function<void(const std::string &line)>;

    // `own`: this machine's MACs, of which no record is made.
    MqttSensor(MqttConnection &connection, std::string name, LocalTimes &times, std::vector<MacAddress> own,
               RelayMetrics *metrics, LineWriter say);

    // The last will and the goodbye: "offline", retained.
    static MqttPublish Offline(const std::string &name);

    // Requests go to `handler` from now on; connects and subscribes.
    void Start(RequestHandler handler);
    // A reply of the relay, to the requester it is for.
    void Reply(const ReplyAddress &to, const RelayReply &reply);
    // The machines whose state is kept, before Start(); `version` goes in their configs.
    void Watch(std::vector<WatchedMachine> machines, std::string version);
    // A frame a machine sent: its record, when it is news.
    void SignOfLife(const ::SignOfLife &sign, const std::string &interfaceName, RealTime time);

    void Magic(const MagicEvent &event) override { m_events.Magic(event); }
    void Datagram(const PacketReport &report) override { m_events.Datagram(report); }
    void Failure(const ReceiveFailure &failure) override { m_events.Failure(failure); }
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override { m_events.Sweep(sweep); }
    void Unanswered(const UnansweredArp &arp) override { m_events.Unanswered(arp); }
    void Sent(const SentPacket &sent) override { m_events.Sent(sent); }
    void MachineState(const MachineStateEvent &event) override;

private:
    std::string Time(RealTime time);
    bool Watches(const MacAddress &mac) const;
    void PublishRetained(std::string topic, std::string payload);
    void PublishMachines();
    void ConfigSeen(const MqttMessage &message);

    MqttConnection &m_connection;
    const std::string m_name;
    LocalTimes &m_times;
    RelayMetrics *m_metrics;
    LineWriter m_say;
    JsonSink m_events;
    MachineRecords m_records;
    RequestHandler m_handler;
    bool m_refusalTold = false; // the broker's ACL refused a publish: told once
    std::vector<WatchedMachine> m_machines;
    std::string m_version;
    std::map<MacAddress, std::string> m_states;    // the awake topic's payload, once known
    std::map<MacAddress, std::string> m_lastWakes; // the last wake's payload, once one woke
    std::set<MacAddress> m_removed;                // machines no longer watched whose configs were removed
};
