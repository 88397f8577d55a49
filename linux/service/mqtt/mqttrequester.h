#pragma once

#include "commandline.h"
#include "mqttconnection.h"
#include "remotewake.h"

#include <QTimer>

#include <functional>
#include <string>

// corvalen-cli --wake MAC --mqtt URL: asks the sensor on the machine's segment to
// wake it, and tells its replies as a local --wake tells its own.
class MqttRequester final : public QObject
{
    Q_OBJECT

public:
    // How long the sensor has to answer a request, which expires at the broker after as long.
    static constexpr std::chrono::seconds kAnswerTimeout{10};
    // Beyond the wake's own time, how long its outcome may take.
    static constexpr std::chrono::seconds kOutcomeGrace{30};

    using TextWriter = std::function<void(const std::string &text)>;

    MqttRequester(MqttConnection &connection, const WatchOptions &options, std::string program, TextWriter out,
                  TextWriter err);

    // Connects, finds the sensor, asks it, and calls `done` once with the exit status.
    void Start(std::function<void(int status)> done);

private:
    void Connected();
    void Subscribed(const std::vector<int> &granted);
    void Ask(const std::string &sensor);
    void Publish();
    void Message(const MqttMessage &message);
    void End(int status, const std::string &line = {});
    std::string User() const; // as the broker's refusals name it

    MqttConnection &m_connection;
    const WatchOptions &m_options;
    const MacAddress m_mac;
    const std::string m_program;
    TextWriter m_out;
    TextWriter m_err;
    std::function<void(int)> m_done;
    SensorDirectory m_sensors;
    int m_subscriptionsAnswered = 0;
    std::string m_sensor;
    std::string m_correlation;
    std::uint64_t m_request = 0;
    std::string m_payload;
    bool m_answered = false;
    bool m_again = false; // asked again after the broker came back
    bool m_ended = false;
    QTimer m_deadline;
};
