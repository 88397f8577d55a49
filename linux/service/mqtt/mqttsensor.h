#pragma once

#include "consolesinks.h"
#include "machinerecords.h"
#include "metrics.h"
#include "mqttconnection.h"
#include "wakerelay.h"

#include <functional>
#include <string>

// A sensor on an MQTT broker: its status, every event, a record of each machine it
// sees, and the wakes asked of it, whose replies go where each request said.
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
    // A frame a machine sent: its record, when it is news.
    void SignOfLife(const ::SignOfLife &sign, const std::string &interfaceName, RealTime time);

    void Magic(const MagicEvent &event) override { m_events.Magic(event); }
    void Datagram(const PacketReport &report) override { m_events.Datagram(report); }
    void Failure(const ReceiveFailure &failure) override { m_events.Failure(failure); }
    void Outcome(const WakeOutcome &outcome) override { m_events.Outcome(outcome); }
    void Sweep(const SweepEvent &sweep) override { m_events.Sweep(sweep); }
    void Unanswered(const UnansweredArp &arp) override { m_events.Unanswered(arp); }
    void Sent(const SentPacket &sent) override { m_events.Sent(sent); }

private:
    std::string Time(RealTime time);

    MqttConnection &m_connection;
    const std::string m_name;
    LocalTimes &m_times;
    RelayMetrics *m_metrics;
    LineWriter m_say;
    JsonSink m_events;
    MachineRecords m_records;
    RequestHandler m_handler;
    bool m_refusalTold = false; // the broker's ACL refused a publish: told once
};
