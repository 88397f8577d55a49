#pragma once

#include "linkcapture.h"
#include "machineinfo.h"
#include "magicevent.h"
#include "packetreport.h"

#include <QElapsedTimer>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Joins what the link-layer capture and the raw UDP socket see into one event per
// packet, in the order the packets came, and adds what this machine says about the
// target. A UDP magic packet that one source saw waits a short while for the other.
class MagicEventMerger final
{
public:
    static constexpr int kDefaultWaitMs = 300;
    // What the machine says about itself is read again after this long: often enough
    // for a cable plugged in or a setting changed, rarely enough for a flood.
    static constexpr int kMachineInfoMaxAgeMs = 1000;

    explicit MagicEventMerger(MachineInfo &machine, int waitMs = kDefaultWaitMs);
    Q_DISABLE_COPY_MOVE(MagicEventMerger)

    std::function<void(const MagicEvent &)> OnEvent;

    // Without the capture running, reports of the raw socket are events at once.
    void SetCaptureRunning(bool running) { m_captureRunning = running; }
    void FrameSeen(const std::string &interfaceName, ByteView frame);
    // A magic packet that the raw socket reported.
    void DatagramReported(const PacketReport &report);
    // Reports whatever is still waiting, as things stand.
    void Flush();

private:
    enum class Waiting { Nothing, ForSocket, ForWire };
    struct Pending
    {
        MagicEvent event;
        Waiting waiting = Waiting::Nothing;
        qint64 deadline = 0;
    };

    void Push(MagicEvent event, Waiting waiting);
    void Drain(bool all);
    void Complete(Pending &pending);
    void RefreshMachineInfo();

    MachineInfo &m_machine;
    const int m_waitMs;
    bool m_captureRunning = false;
    std::deque<Pending> m_pending;
    qint64 m_machineInfoTakenAt = -1;
    std::vector<LocalInterface> m_interfaces;
    std::vector<std::string> m_destinations;
    std::map<std::string, ThisMachine> m_wakeStates; // by interface, filled as events need them
    QTimer m_timer;
    qint64 m_timerDeadline = -1;
    QElapsedTimer m_clock;
};
