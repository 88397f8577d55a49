#pragma once

#include "datetimetext.h"
#include "packetlistener.h"
#include "watchoptions.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>

// The listener's notifications as lines on standard output, one event at a time.
class TConsoleWatch final : public QObject
{
    Q_OBJECT

public:
    static constexpr int kExitStopped = 0;
    static constexpr int kExitTimedOut = 1;
    static constexpr int kExitUsage = 2;
    static constexpr int kExitNotListening = 3;

    TConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls);
    ~TConsoleWatch() override;
    Q_DISABLE_COPY_MOVE(TConsoleWatch)

    // Starts listening and says so on standard error; false when it cannot listen.
    bool Start();
    // Stops listening, destroys the listener, writes the summary and leaves the
    // event loop with `exitStatus`. Only the first call counts.
    void Finish(int exitStatus);

private:
    void DataAvailable(const PacketReport &report);
    void WriteMagic(const PacketReport &report, const QDateTime &now);
    void WriteFailure(const PacketReport &report, const QDateTime &now);
    void WriteLines(const PacketReport &report, const QDateTime &now);
    void TimedOut();

    WatchOptions m_options;
    std::unique_ptr<TPacketListener> m_listener;
    DateTimeSettings m_dateTimeSettings;
    QTimer m_timeout;
    long long m_magicReported = 0;
    long long m_failedReceives = 0;
    std::uint64_t m_dropped = 0;
    bool m_finished = false;
};
