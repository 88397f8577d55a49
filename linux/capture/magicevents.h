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
// packet, in the order the kernel received the packets, and adds what this machine
// says about the target. While the capture runs, each event waits until a set time
// after its packet came: for the other source to see a UDP magic packet too, and
// for packets that came earlier but that a slower source (the socket's batch, another
// interface's ring) has yet to hand over.
class MagicEventMerger final
{
public:
    static constexpr int kDefaultWaitMs = 300;
    // What the machine says about itself is read again after this long: often enough
    // for a cable plugged in or a setting changed, rarely enough for a flood.
    static constexpr int kMachineInfoMaxAgeMs = 1000;
    // Under a flood a wake-up for each event would cost more than the events: those
    // whose wait ends within this long of each other leave together.
    static constexpr int kLeastTimerMs = 50;

    explicit MagicEventMerger(MachineInfo &machine, int waitMs = kDefaultWaitMs);
    Q_DISABLE_COPY_MOVE(MagicEventMerger)

    std::function<void(const MagicEvent &)> OnEvent;

    // Without the capture running, reports of the raw socket are events at once.
    void SetCaptureRunning(bool running) { m_captureRunning = running; }
    // Frames from a capture file: each is an event at once, and nothing of this
    // machine is added to it.
    void SetReadingFile(bool reading) { m_readingFile = reading; }
    // `kernelTimeNs`: when the kernel received it, since the epoch; 0 when not known.
    void FrameSeen(const std::string &interfaceName, ByteView frame, std::int64_t kernelTimeNs = 0);
    // A magic packet that the raw socket reported.
    void DatagramReported(const PacketReport &report);
    // Something else to report in its place among the events, such as a failed
    // receive; `kernelTimeNs` as above, 0 for now.
    void OtherReported(std::int64_t kernelTimeNs, std::function<void()> report);
    // Reports whatever is still waiting, as things stand.
    void Flush();

private:
    enum class Waiting { Nothing, ForSocket, ForWire };
    struct Pending
    {
        MagicEvent event;
        std::function<void()> other; // set for what is not a packet
        Waiting waiting = Waiting::Nothing;
        qint64 receivedNs = 0; // on m_clock
        qint64 deadlineNs = 0; // on m_clock
    };

    void Push(Pending pending, std::int64_t kernelTimeNs);
    void Drain(bool all);
    void Complete(Pending &pending);
    void RefreshMachineInfo();
    std::optional<std::string> BroadcastFor(const std::string &address) const;

    MachineInfo &m_machine;
    const int m_waitMs;
    bool m_captureRunning = false;
    bool m_readingFile = false;
    std::deque<Pending> m_pending;
    qint64 m_machineInfoTakenAt = -1;
    std::vector<LocalInterface> m_interfaces;
    std::vector<std::string> m_destinations;
    std::vector<Ipv4Network> m_networks;
    std::map<std::string, ThisMachine> m_wakeStates; // by interface, filled as events need them
    QTimer m_timer;
    qint64 m_timerDeadlineNs = -1;
    QElapsedTimer m_clock;
};
