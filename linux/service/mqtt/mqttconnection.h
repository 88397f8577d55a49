#pragma once

#include "relaytopics.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

// How to reach and log in to a broker.
struct MqttLogin
{
    MqttUrl url;
    std::string clientId;
    std::string user;                    // empty: none
    std::optional<std::string> password; // nothing: none
    std::string ca;                      // empty: the system's authorities
    std::string cert;
    std::string key;
};

struct MqttMessage
{
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string responseTopic; // empty: none
    std::string correlation;   // empty: none
};

struct MqttPublish
{
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
    std::string responseTopic;
    std::string correlation;
    std::optional<std::uint32_t> expirySeconds;
    // An event, which may be dropped when the queue is full; other messages (the
    // status, machine records, replies) are few and are always kept.
    bool droppable = false;
};

// A message of QoS 1, not retained, with nothing more.
inline MqttPublish MessageTo(std::string topic, std::string payload)
{
    MqttPublish message;
    message.topic = std::move(topic);
    message.payload = std::move(payload);
    return message;
}

// An MQTT 5 client connection through libmosquitto, driven from Qt's event loop:
// its socket is watched by notifiers, its keepalive by a timer, and nothing blocks
// but the look-up of a host name. Messages to publish leave in order; while the
// broker is away they wait in a bounded queue, and the connection tries again with
// a back-off of up to kLongestBackoff.
class MqttConnection final : public QObject
{
    Q_OBJECT

public:
    static constexpr std::size_t kQueueCapacity = 10000;
    static constexpr std::chrono::seconds kLongestBackoff{30};
    static constexpr std::chrono::seconds kConnectTimeout{10};
    static constexpr int kKeepaliveSeconds = 30;
    // Messages handed to libmosquitto whose acknowledgement has not come yet.
    static constexpr int kMostInFlight = 256;

    // `will`: what the broker publishes when the connection dies without a goodbye.
    MqttConnection(MqttLogin login, std::optional<MqttPublish> will);
    ~MqttConnection() override;
    Q_DISABLE_COPY_MOVE(MqttConnection)

    // Connects, and when `reconnect`, connects again after each loss.
    void Start(bool reconnect);
    // Whether a loss is followed by another try; may be changed in OnDisconnected.
    void SetReconnect(bool reconnect) { m_reconnect = reconnect; }
    // Subscribed again after each connection. A message arrives through OnMessage.
    void Subscribe(const std::vector<std::string> &filters);
    // Queued, and published in order once connected; returns an ID that OnPublished gives back.
    std::uint64_t Publish(MqttPublish message);
    // Published ahead of everything queued: what each new connection says first.
    void PublishFirst(MqttPublish message);
    // Publishes `last`, waits at most `wait` for the broker to take it, and disconnects
    // cleanly; OnStopped follows.
    void Stop(std::optional<MqttPublish> last, std::chrono::milliseconds wait);

    bool Connected() const { return m_connected; }
    const std::string &ClientId() const { return m_login.clientId; }
    // "Not authorized", as the broker's reason code says it.
    static std::string ReasonText(int reasonCode);
    std::size_t Queued() const { return m_queue.size(); }
    std::uint64_t Dropped() const { return m_dropped; }

    std::function<void()> OnConnected;
    // Why the connection failed or was lost; `refused` when the broker turned the login away.
    std::function<void(const std::string &why, bool refused)> OnDisconnected;
    std::function<void(const MqttMessage &message)> OnMessage;
    // The broker's reason code for a publish of QoS 1 (0 or 0x10: taken), or 0 for QoS 0 once written.
    std::function<void(std::uint64_t id, int reasonCode)> OnPublished;
    // The broker's answer to the subscriptions of one Subscribe(); a code of 0x80 or more refused one.
    std::function<void(const std::vector<int> &grantedQos)> OnSubscribed;
    // The queue was full and an event was dropped; `first` for the first of a run of them.
    std::function<void(std::uint64_t droppedSoFar, bool first)> OnDropped;
    std::function<void()> OnStopped;

private:
    struct Outgoing
    {
        MqttPublish message;
        std::uint64_t id = 0;
    };

    void Connect();
    void Lost(const std::string &why, bool refused);
    void Service(); // after every action of libmosquitto: notifiers, the queue
    void Handled(int rc);
    void Pump();
    void WatchSocket();
    void SendSubscription(const std::vector<std::string> &filters);
    std::string ErrorText(int rc) const;

    MqttLogin m_login;
    mosquitto *m_client = nullptr;
    bool m_reconnect = false;
    bool m_connected = false;
    bool m_connecting = false;
    bool m_stopping = false;
    bool m_connectCalled = false; // the host is set: later tries reconnect
    std::chrono::seconds m_backoff{1};
    std::vector<std::vector<std::string>> m_subscriptions;
    std::deque<Outgoing> m_queue;
    std::size_t m_queuedEvents = 0; // the droppable ones among them
    std::uint64_t m_nextId = 1;
    std::uint64_t m_dropped = 0;
    bool m_dropping = false; // in a run of drops, told once
    int m_inFlight = 0;
    std::map<int, std::uint64_t> m_ids; // libmosquitto's message IDs to ours
    std::optional<std::uint64_t> m_lastId; // Stop()'s message
    std::string m_lastError; // libmosquitto's last error line, such as OpenSSL's reason
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_misc;
    QTimer m_retry;
    QTimer m_connectTimeout;
    QTimer m_stopTimeout;

    friend struct MqttCallbacks;
};
