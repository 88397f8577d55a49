#include "mqttrequester.h"

#include "wakerequest.h"

#include <random>

namespace {

constexpr int kNoMatchingSubscribers = 0x10;

std::string RandomBytes(std::size_t count)
{
    std::random_device random;
    std::string bytes(count, '\0');
    for (char &byte : bytes)
        byte = char(random() & 0xFF);
    return bytes;
}

} // namespace

MqttRequester::MqttRequester(MqttConnection &connection, const WatchOptions &options, std::string program,
                             TextWriter out, TextWriter err)
    : m_connection(connection)
    , m_options(options)
    , m_mac(options.wake.front())
    , m_program(std::move(program))
    , m_out(std::move(out))
    , m_err(std::move(err))
{
    m_deadline.setSingleShot(true);
}

void MqttRequester::Start(std::function<void(int status)> done)
{
    m_done = std::move(done);
    m_connection.OnConnected = [this] { Connected(); };
    m_connection.OnDisconnected = [this](const std::string &why, bool refused) {
        if (refused || m_sensor.empty()) {
            End(kExitNotListening, refused ? why : "cannot reach the MQTT broker: " + why);
            return;
        }
        // Asked already: the wake goes on at the sensor. Once the broker is back the
        // request goes again, and joins that wake or gets its outcome.
        if (!m_ended && !m_again)
            m_err(m_program + ": the MQTT broker went away (" + why + "): asking " + m_sensor
                  + " again once it is back\n");
        m_again = true;
        m_connection.SetReconnect(!m_ended);
    };
    m_connection.OnSubscribed = [this](const std::vector<int> &granted) { Subscribed(granted); };
    m_connection.OnMessage = [this](const MqttMessage &message) { Message(message); };
    m_connection.OnPublished = [this](std::uint64_t id, int reasonCode) {
        if (id != m_request)
            return;
        if (reasonCode == kNoMatchingSubscribers && m_again) {
            // The broker is back before the sensor: asked again each second, until the deadline.
            QTimer::singleShot(1000, this, [this] {
                if (!m_ended && m_connection.Connected())
                    Publish();
            });
        } else if (reasonCode == kNoMatchingSubscribers)
            End(kExitNotListening, "sensor " + m_sensor + " does not listen for requests: it is not connected");
        else if (reasonCode >= 0x80)
            End(kExitNotListening, "the broker does not let " + User() + " send to " + WakeTopic(m_sensor) + ": "
                                       + MqttConnection::ReasonText(reasonCode));
    };
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_answered)
            End(kExitNotListening, "sensor " + m_sensor + " did not answer within "
                                       + std::to_string(kAnswerTimeout.count()) + " s");
        else
            End(kExitNotListening, "sensor " + m_sensor + " gave no outcome in time");
    });
    // The retained records come before the answer to a later subscription: once
    // that comes, every sensor's record is in. Both are made again on each connection.
    if (m_options.mqtt.via.empty())
        m_connection.Subscribe({kEveryStatus, EveryMachineRecord(m_mac)});
    m_connection.Subscribe({EveryReplyFor(m_connection.ClientId())});
    m_connection.Start(false);
}

std::string MqttRequester::User() const
{
    return m_options.mqtt.user.empty() ? std::string("this user") : m_options.mqtt.user;
}

void MqttRequester::Connected()
{
    m_subscriptionsAnswered = 0;
}

void MqttRequester::Subscribed(const std::vector<int> &granted)
{
    for (const int code : granted)
        if (code >= 0x80) {
            End(kExitNotListening, "the broker does not let " + User() + " read the sensors' topics under corvalen/");
            return;
        }
    const int expected = m_options.mqtt.via.empty() ? 2 : 1;
    if (++m_subscriptionsAnswered < expected)
        return;
    if (!m_sensor.empty()) {
        Publish(); // connected again
        return;
    }
    if (!m_options.mqtt.via.empty()) {
        Ask(m_options.mqtt.via);
        return;
    }
    const SensorDirectory::Choice choice = m_sensors.Choose(m_mac);
    if (!choice.sensor) {
        End(kExitNotListening, choice.why);
        return;
    }
    m_err(m_program + ": asking " + *choice.sensor + " (" + choice.why + ")\n");
    Ask(*choice.sensor);
}

void MqttRequester::Ask(const std::string &sensor)
{
    m_sensor = sensor;
    m_correlation = RandomBytes(16);
    RemoteWakeRequest request;
    request.mac = m_mac;
    request.ip = m_options.wakeIp;
    if (m_options.wakePort != 9)
        request.port = m_options.wakePort;
    request.password = m_options.password;
    request.timeout = m_options.wakeTimeout;
    m_payload = WakeRequestJson(request).dump();
    Publish();
    m_deadline.start(std::chrono::milliseconds(kAnswerTimeout));
}

void MqttRequester::Publish()
{
    MqttPublish message = MessageTo(WakeTopic(m_sensor), m_payload);
    message.responseTopic = ReplyTopicFor(m_sensor, m_connection.ClientId());
    message.correlation = m_correlation;
    // A request that waits at the broker for a sensor that is away expires, rather
    // than waking the machine long after.
    message.expirySeconds = std::uint32_t(kAnswerTimeout.count());
    m_request = m_connection.Publish(std::move(message));
}

void MqttRequester::Message(const MqttMessage &message)
{
    const std::optional<std::string> sensor = SensorOfTopic(message.topic);
    if (!sensor)
        return;
    if (message.topic == StatusTopic(*sensor)) {
        m_sensors.Status(*sensor, message.payload);
        return;
    }
    if (message.topic == MachineTopic(*sensor, m_mac)) {
        m_sensors.Record(*sensor, message.payload);
        return;
    }
    if (m_sensor.empty() || message.correlation != m_correlation || message.retained)
        return;
    if (!m_answered) {
        m_answered = true;
        m_deadline.start(std::chrono::milliseconds(m_options.wakeTimeout) + kOutcomeGrace);
    }
    if (m_options.json)
        m_out(message.payload + "\n");
    const ReplyMeaning meaning = ReadReply(message.payload, m_program);
    if (!m_options.json)
        for (const std::string &line : meaning.out)
            m_out(line + "\n");
    for (const std::string &line : meaning.err)
        m_err(line + "\n");
    if (meaning.end)
        End(*meaning.end);
}

void MqttRequester::End(int status, const std::string &line)
{
    if (m_ended)
        return;
    m_ended = true;
    m_deadline.stop();
    if (!line.empty())
        m_err(m_program + ": " + line + "\n");
    m_done(status);
}
