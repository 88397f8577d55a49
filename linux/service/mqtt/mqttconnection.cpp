#include "mqttconnection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

// libmosquitto wants its library set up once in the process.
void InitialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string PropertyString(const mosquitto_property *props, int identifier)
{
    char *value = nullptr;
    if (!mosquitto_property_read_string(props, identifier, &value, false) || !value)
        return {};
    std::string text(value);
    std::free(value);
    return text;
}

std::string PropertyBinary(const mosquitto_property *props, int identifier)
{
    void *value = nullptr;
    std::uint16_t length = 0;
    if (!mosquitto_property_read_binary(props, identifier, &value, &length, false) || !value)
        return {};
    std::string bytes(static_cast<const char *>(value), length);
    std::free(value);
    return bytes;
}

// The properties of one publish, freed when it has been handed over.
struct Properties
{
    ~Properties() { mosquitto_property_free_all(&list); }
    mosquitto_property *list = nullptr;
};

void AddProperties(const MqttPublish &message, Properties &properties)
{
    if (!message.responseTopic.empty())
        mosquitto_property_add_string(&properties.list, MQTT_PROP_RESPONSE_TOPIC, message.responseTopic.c_str());
    if (!message.correlation.empty())
        mosquitto_property_add_binary(&properties.list, MQTT_PROP_CORRELATION_DATA, message.correlation.data(),
                                      std::uint16_t(std::min<std::size_t>(message.correlation.size(), 65535)));
    if (message.expirySeconds)
        mosquitto_property_add_int32(&properties.list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, *message.expirySeconds);
}

} // namespace

// libmosquitto's callbacks, each back into its connection.
struct MqttCallbacks
{
    static MqttConnection &Of(void *self) { return *static_cast<MqttConnection *>(self); }

    static void Connect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
    {
        MqttConnection &connection = Of(self);
        connection.m_connecting = false;
        connection.m_connectTimeout.stop();
        if (rc != 0) {
            // The broker answered and said no: a wrong password, a user it does not know.
            connection.Lost(std::string("the broker refused the login: ") + mosquitto_reason_string(rc), true);
            return;
        }
        connection.m_connected = true;
        connection.m_backoff = std::chrono::seconds(1);
        connection.m_inFlight = 0;
        for (const std::vector<std::string> &filters : connection.m_subscriptions)
            connection.SendSubscription(filters);
        if (connection.OnConnected)
            connection.OnConnected();
        connection.Pump();
    }

    static void Disconnect(mosquitto *, void *self, int rc, const mosquitto_property *)
    {
        MqttConnection &connection = Of(self);
        if (connection.m_stopping && rc == 0)
            return;
        connection.Lost(connection.ErrorText(rc), false);
    }

    static void Publish(mosquitto *, void *self, int mid, int reasonCode, const mosquitto_property *)
    {
        MqttConnection &connection = Of(self);
        connection.m_inFlight = std::max(0, connection.m_inFlight - 1);
        const auto id = connection.m_ids.find(mid);
        if (id == connection.m_ids.end()) {
            connection.Pump(); // room for what waits
            return;
        }
        const std::uint64_t ours = id->second;
        connection.m_ids.erase(id);
        if (connection.OnPublished)
            connection.OnPublished(ours, reasonCode);
        if (connection.m_stopping && connection.m_lastId == ours)
            connection.m_stopTimeout.start(0);
        connection.Pump(); // room for what waits
    }

    static void Subscribe(mosquitto *, void *self, int, int count, const int *granted, const mosquitto_property *)
    {
        MqttConnection &connection = Of(self);
        if (connection.OnSubscribed)
            connection.OnSubscribed(std::vector<int>(granted, granted + count));
    }

    static void Message(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props)
    {
        MqttConnection &connection = Of(self);
        if (!connection.OnMessage || !message->topic)
            return;
        MqttMessage received;
        received.topic = message->topic;
        if (message->payload && message->payloadlen > 0)
            received.payload.assign(static_cast<const char *>(message->payload), std::size_t(message->payloadlen));
        received.retained = message->retain;
        received.responseTopic = PropertyString(props, MQTT_PROP_RESPONSE_TOPIC);
        received.correlation = PropertyBinary(props, MQTT_PROP_CORRELATION_DATA);
        connection.OnMessage(received);
    }

    static void Log(mosquitto *, void *self, int level, const char *text)
    {
        if (level == MOSQ_LOG_ERR && text)
            Of(self).m_lastError = text;
    }
};

MqttConnection::MqttConnection(MqttLogin login, std::optional<MqttPublish> will)
    : m_login(std::move(login))
{
    InitialiseLibrary();
    m_client = mosquitto_new(m_login.clientId.c_str(), true, this);
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_client, MqttCallbacks::Connect);
    mosquitto_disconnect_v5_callback_set(m_client, MqttCallbacks::Disconnect);
    mosquitto_publish_v5_callback_set(m_client, MqttCallbacks::Publish);
    mosquitto_subscribe_v5_callback_set(m_client, MqttCallbacks::Subscribe);
    mosquitto_message_v5_callback_set(m_client, MqttCallbacks::Message);
    mosquitto_log_callback_set(m_client, MqttCallbacks::Log);
    if (!m_login.user.empty())
        mosquitto_username_pw_set(m_client, m_login.user.c_str(),
                                  m_login.password ? m_login.password->c_str() : nullptr);
    if (m_login.url.tls) {
        // The broker's certificate and host name are always verified.
        if (m_login.ca.empty())
            mosquitto_int_option(m_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        mosquitto_tls_set(m_client, m_login.ca.empty() ? nullptr : m_login.ca.c_str(), nullptr,
                          m_login.cert.empty() ? nullptr : m_login.cert.c_str(),
                          m_login.key.empty() ? nullptr : m_login.key.c_str(), nullptr);
        mosquitto_tls_opts_set(m_client, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(m_client, false);
    }
    if (will) {
        Properties properties;
        AddProperties(*will, properties);
        mosquitto_will_set_v5(m_client, will->topic.c_str(), int(will->payload.size()), will->payload.data(),
                              will->qos, will->retain, properties.list);
        properties.list = nullptr; // libmosquitto keeps the will's properties
    }
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] {
        const int rc = mosquitto_loop_misc(m_client);
        Handled(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_SUCCESS : rc);
    });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttConnection::Connect);
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        if (!m_connecting)
            return;
        mosquitto_disconnect(m_client);
        Lost("the broker at " + m_login.url.host + " port " + std::to_string(m_login.url.port)
                 + " did not answer within " + std::to_string(kConnectTimeout.count()) + " s",
             false);
    });
    m_stopTimeout.setSingleShot(true);
    connect(&m_stopTimeout, &QTimer::timeout, this, [this] {
        if (m_connected)
            mosquitto_disconnect(m_client);
        mosquitto_loop_write(m_client, 1);
        m_connected = false;
        m_retry.stop();
        m_misc.stop();
        if (OnStopped)
            OnStopped();
    });
}

MqttConnection::~MqttConnection()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    mosquitto_destroy(m_client);
}

std::string MqttConnection::ErrorText(int rc) const
{
    std::string text;
    if (rc == MOSQ_ERR_ERRNO)
        text = std::strerror(errno);
    else if (rc == MOSQ_ERR_TLS && !m_lastError.empty())
        text = "TLS: " + m_lastError;
    else
        text = mosquitto_strerror(rc);
    if (rc == MOSQ_ERR_TLS && m_lastError.find("certificate verify failed") != std::string::npos)
        text = "the broker's certificate is not trusted (" + m_lastError + ")";
    return text;
}

std::string MqttConnection::ReasonText(int reasonCode)
{
    return mosquitto_reason_string(reasonCode);
}

void MqttConnection::Start(bool reconnect)
{
    m_reconnect = reconnect;
    m_misc.start();
    Connect();
}

void MqttConnection::Connect()
{
    if (m_stopping)
        return;
    m_lastError.clear();
    m_connecting = true;
    const int rc = m_connectCalled ? mosquitto_reconnect_async(m_client)
                                   : mosquitto_connect_async(m_client, m_login.url.host.c_str(), m_login.url.port,
                                                             kKeepaliveSeconds);
    m_connectCalled = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = rc == MOSQ_ERR_EAI ? "cannot find the broker's host " + m_login.url.host
                                                   : ErrorText(rc);
        m_connecting = false;
        QMetaObject::invokeMethod(this, [this, why] { Lost(why, false); }, Qt::QueuedConnection);
        return;
    }
    m_connectTimeout.start(std::chrono::milliseconds(kConnectTimeout));
    Service();
}

void MqttConnection::Lost(const std::string &why, bool refused)
{
    const bool wasConnected = m_connected;
    m_connected = false;
    m_connecting = false;
    m_connectTimeout.stop();
    m_inFlight = 0;
    m_ids.clear();
    WatchSocket();
    if (m_stopping)
        return;
    if (OnDisconnected)
        OnDisconnected(why, refused);
    if (!m_reconnect || m_retry.isActive())
        return;
    // A broker that was there a moment ago is tried again at once; one that is away, ever more slowly.
    m_retry.start(wasConnected ? std::chrono::seconds(1) : m_backoff);
    if (!wasConnected)
        m_backoff = std::min(m_backoff * 2, std::chrono::seconds(kLongestBackoff));
}

void MqttConnection::Subscribe(const std::vector<std::string> &filters)
{
    m_subscriptions.push_back(filters);
    if (m_connected) {
        SendSubscription(filters);
        Service();
    }
}

// One SUBSCRIBE for `filters`, at QoS 1: one answer through OnSubscribed.
void MqttConnection::SendSubscription(const std::vector<std::string> &filters)
{
    std::vector<char *> topics;
    for (const std::string &filter : filters)
        topics.push_back(const_cast<char *>(filter.c_str()));
    int mid = 0;
    mosquitto_subscribe_multiple(m_client, &mid, int(topics.size()), topics.data(), 1, 0, nullptr);
}

std::uint64_t MqttConnection::Publish(MqttPublish message)
{
    const std::uint64_t id = m_nextId++;
    if (message.droppable && m_queuedEvents >= kQueueCapacity) {
        ++m_dropped;
        if (OnDropped)
            OnDropped(m_dropped, !m_dropping);
        m_dropping = true;
        return id;
    }
    m_dropping = false;
    m_queuedEvents += message.droppable ? 1 : 0;
    m_queue.push_back({std::move(message), id});
    Pump();
    return id;
}

void MqttConnection::PublishFirst(MqttPublish message)
{
    m_queue.push_front({std::move(message), m_nextId++});
    Pump();
}

void MqttConnection::Stop(std::optional<MqttPublish> last, std::chrono::milliseconds wait)
{
    m_reconnect = false;
    m_retry.stop();
    if (last && m_connected)
        m_lastId = Publish(std::move(*last)); // after what waits: in order
    m_stopping = true;
    m_stopTimeout.start(m_connected && m_lastId ? wait : std::chrono::milliseconds(0));
}

void MqttConnection::Pump()
{
    if (!m_connected)
        return;
    while (!m_queue.empty() && m_inFlight < kMostInFlight) {
        const Outgoing &outgoing = m_queue.front();
        const MqttPublish &message = outgoing.message;
        Properties properties;
        AddProperties(message, properties);
        int mid = 0;
        const int rc = mosquitto_publish_v5(m_client, &mid, message.topic.c_str(), int(message.payload.size()),
                                            message.payload.data(), message.qos, message.retain, properties.list);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_ERRNO)
            break; // sent again once connected
        if (rc == MOSQ_ERR_SUCCESS) {
            m_ids[mid] = outgoing.id;
            ++m_inFlight;
        } else if (OnPublished) {
            OnPublished(outgoing.id, MQTT_RC_UNSPECIFIED); // too large for the broker, a topic it cannot take
        }
        m_queuedEvents -= message.droppable ? 1 : 0;
        m_queue.pop_front();
    }
    Service();
}

// A read or write that failed before the broker's answer to the login (a TLS
// handshake that failed, a refused connection) ends the try without a callback.
void MqttConnection::Handled(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS && (m_connecting || m_connected) && !m_stopping)
        Lost(ErrorText(rc), false);
    Service();
}

// After each action: the socket may have changed, and there may be bytes to write.
void MqttConnection::Service()
{
    WatchSocket();
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client));
}

void MqttConnection::WatchSocket()
{
    const int socket = mosquitto_socket(m_client);
    if (socket == m_socket && (socket < 0 || m_readNotifier))
        return;
    // The notifiers may be inside their own signal: they go once it has returned.
    for (std::unique_ptr<QSocketNotifier> *notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            notifier->release()->deleteLater();
        }
    }
    m_socket = socket;
    if (socket < 0)
        return;
    m_readNotifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] {
        Handled(mosquitto_loop_read(m_client, 64));
    });
    m_writeNotifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] {
        Handled(mosquitto_loop_write(m_client, 64));
    });
}
