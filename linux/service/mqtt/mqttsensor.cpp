#include "mqttsensor.h"

#include "eventjson.h"

#include <algorithm>

namespace {

constexpr int kNotAuthorized = 0x87;

// JSON as one message: no line's end, and U+FFFD for bytes that are not UTF-8.
std::string Payload(const nlohmann::json &object)
{
    std::string text = JsonLine(object);
    text.pop_back();
    return text;
}

} // namespace

MqttSensor::MqttSensor(MqttConnection &connection, std::string name, LocalTimes &times,
                       std::vector<MacAddress> own, RelayMetrics *metrics, LineWriter say)
    : m_connection(connection)
    , m_name(std::move(name))
    , m_times(times)
    , m_metrics(metrics)
    , m_say(std::move(say))
    , m_events(
          [this](const std::string &text) {
              // One message per event, without the line's end.
              std::size_t start = 0;
              while (start < text.size()) {
                  std::size_t end = text.find('\n', start);
                  if (end == std::string::npos)
                      end = text.size();
                  if (end > start) {
                      MqttPublish event = MessageTo(EventTopic(m_name), text.substr(start, end - start));
                      event.droppable = true;
                      m_connection.Publish(std::move(event));
                  }
                  start = end + 1;
              }
          },
          times)
    , m_records(std::move(own))
{
}

MqttPublish MqttSensor::Offline(const std::string &name)
{
    MqttPublish offline = MessageTo(StatusTopic(name), kOffline);
    offline.retain = true;
    return offline;
}

std::string MqttSensor::Time(RealTime time)
{
    const LocalMoment moment = m_times.At(time);
    return IsoLocalTime(moment.local, moment.offsetFromUtcSeconds);
}

void MqttSensor::Start(RequestHandler handler)
{
    m_handler = std::move(handler);
    m_connection.OnConnected = [this] {
        MqttPublish online = MessageTo(StatusTopic(m_name), kOnline);
        online.retain = true;
        m_connection.PublishFirst(std::move(online));
        PublishMachines();
        if (m_metrics)
            m_metrics->Connected(true);
        m_say("connected to the MQTT broker as sensor " + m_name);
    };
    m_connection.OnDisconnected = [this](const std::string &why, bool) {
        if (m_metrics)
            m_metrics->Connected(false);
        m_say("the MQTT broker is away (" + why + "): events wait in a queue of "
              + std::to_string(MqttConnection::kQueueCapacity) + " until it is back");
    };
    m_connection.OnDropped = [this](std::uint64_t droppedSoFar, bool first) {
        if (m_metrics)
            m_metrics->Dropped(1);
        if (first)
            m_say("the queue for the MQTT broker is full: events are dropped until it empties ("
                  + std::to_string(droppedSoFar) + " so far; corvalen_mqtt_publishes_dropped_total counts them)");
    };
    m_connection.OnPublished = [this](std::uint64_t, int reasonCode) {
        if (reasonCode == kNotAuthorized && !m_refusalTold) {
            m_refusalTold = true;
            m_say("the MQTT broker does not let this sensor publish under corvalen/" + m_name
                  + "/ or, for Home Assistant, under homeassistant/+/corvalen-" + m_name + "/: see its ACL");
        }
    };
    m_connection.OnMessage = [this](const MqttMessage &message) {
        if (message.topic != WakeTopic(m_name)) {
            ConfigSeen(message);
            return;
        }
        if (message.topic != WakeTopic(m_name) || message.retained || !m_handler)
            return; // a retained request is an old one: no machine is woken for it now
        const ReplyAddress to{message.responseTopic.empty() ? ReplyTopic(m_name) : message.responseTopic,
                              message.correlation};
        m_handler(ByteView(reinterpret_cast<const std::uint8_t *>(message.payload.data()), message.payload.size()),
                  to);
    };
    m_connection.Subscribe({WakeTopic(m_name), EveryDiscoveryConfig(m_name)});
    m_connection.Start(true);
}

void MqttSensor::Reply(const ReplyAddress &to, const RelayReply &reply)
{
    MqttPublish message = MessageTo(to.topic, Payload(RelayReplyJson(reply, m_name, Time(reply.time))));
    message.correlation = to.correlation;
    m_connection.Publish(std::move(message));
}

void MqttSensor::SignOfLife(const ::SignOfLife &sign, const std::string &interfaceName, RealTime time)
{
    const std::optional<MachineRecord> record = m_records.Seen(sign, interfaceName, time);
    if (!record)
        return;
    MqttPublish message =
        MessageTo(MachineTopic(m_name, sign.sourceMac), Payload(MachineRecordJson(*record, m_name, Time(record->time))));
    message.retain = true;
    m_connection.Publish(std::move(message));
}

void MqttSensor::Watch(std::vector<WatchedMachine> machines, std::string version)
{
    m_machines = std::move(machines);
    m_version = std::move(version);
}

bool MqttSensor::Watches(const MacAddress &mac) const
{
    return std::any_of(m_machines.begin(), m_machines.end(),
                       [&mac](const WatchedMachine &machine) { return machine.mac == mac; });
}

void MqttSensor::PublishRetained(std::string topic, std::string payload)
{
    MqttPublish message = MessageTo(std::move(topic), std::move(payload));
    message.retain = true;
    m_connection.Publish(std::move(message));
}

// On each connection: a broker that lost its retained messages has them again.
void MqttSensor::PublishMachines()
{
    for (const WatchedMachine &machine : m_machines) {
        for (const DiscoveryConfig &config : DiscoveryConfigs(m_name, machine, m_version))
            PublishRetained(config.topic, Payload(config.config));
    }
    for (const auto &[mac, state] : m_states)
        PublishRetained(MachineAwakeTopic(m_name, mac), state);
    for (const auto &[mac, lastWake] : m_lastWakes)
        PublishRetained(MachineLastWakeTopic(m_name, mac), lastWake);
}

// A retained config of this sensor's from an earlier run, for a machine it no longer
// watches: removed, with the machine's state and last wake, as Home Assistant expects.
void MqttSensor::ConfigSeen(const MqttMessage &message)
{
    const std::optional<MacAddress> mac = DiscoveredMachine(m_name, message.topic);
    if (!mac || Watches(*mac) || message.payload.empty())
        return;
    PublishRetained(message.topic, std::string());
    if (m_removed.insert(*mac).second) {
        PublishRetained(MachineAwakeTopic(m_name, *mac), std::string());
        PublishRetained(MachineLastWakeTopic(m_name, *mac), std::string());
        m_say("removed the Home Assistant configs of " + FormatMac(*mac) + ", which this sensor no longer watches");
    }
}

void MqttSensor::MachineState(const MachineStateEvent &event)
{
    m_events.MachineState(event);
    const std::string state = event.awake ? kAwakeOn : kAwakeOff;
    m_states[event.machine.mac] = state;
    PublishRetained(MachineAwakeTopic(m_name, event.machine.mac), state);
}

void MqttSensor::Outcome(const WakeOutcome &outcome)
{
    m_events.Outcome(outcome);
    if (!outcome.woke || !Watches(outcome.mac))
        return;
    const std::string lastWake = LastWakePayload(outcome.end - outcome.first);
    m_lastWakes[outcome.mac] = lastWake;
    PublishRetained(MachineLastWakeTopic(m_name, outcome.mac), lastWake);
}
