#pragma once

#include "clocks.h"
#include "commandline.h"
#include "consolelines.h"
#include "consolesinks.h"
#include "linkcapture.h"
#include "machineinfo.h"
#include "metrics.h"
#include "packetlistener.h"
#include "segmentwatch.h"
#include "wakeengine.h"
#include "wakerelay.h"
#include "wakesender.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <memory>

// The watch on Qt's event loop: the raw socket and the link-layer capture feed the
// segment watch, whose events go to the sinks the command line chose.
class ConsoleWatch final : public QObject
{
    Q_OBJECT

public:
    // How long the raw socket's datagrams may wait to be read together while the
    // link layer is watched too; well inside the segment watch's wait for the other source.
    static constexpr int kSocketBatchDelayMs = 50;
    // How long a change of the watched MACs may wait to reach the kernel filter.
    static constexpr int kFilterUpdateDelayMs = 250;
    // The kernel filter runs for every frame: it names the MACs of this many watches,
    // those begun last. A waking machine's ARP and DHCP pass for every watch anyway.
    static constexpr std::size_t kMostFilteredMacs = 16;
    // Under a flood a wake-up for each event would cost more than the events: those
    // whose wait ends within this long of each other leave together.
    static constexpr std::chrono::milliseconds kLeastDrainDelay{50};

    // `capture` is the opened link-layer capture, or null; `captureFailure` says why
    // it could not be opened when it was wanted. `out` takes the events that --mac
    // and --count let through; `metrics`, when there are any, takes them all.
    ConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture,
                  const std::string &captureFailure, EventSink &out, WatchMetrics *metrics = nullptr,
                  LocalMachine &machine = SystemMachineInfo());
    ~ConsoleWatch() override;
    Q_DISABLE_COPY_MOVE(ConsoleWatch)

    // Starts listening and says so on standard error; false when it cannot listen.
    bool Start();
    // Reads the capture file that `capture` has open, instead of the live traffic.
    void StartReading();
    bool LinkLayerWatched() const { return m_capture != nullptr; }
    // --wake, once listening: the wake engine sends the planned packets through
    // `sender` and asks for the machine, on this loop, until it ends the watch.
    void StartWaking(WakeSender &sender, PlannedWake planned);
    // A sensor's wakes on request, once listening: each is planned by `planner`, its
    // packets leave through `sender`, and its replies go to `reply`.
    void StartRelay(WakeSender &sender, WakeRelay::Planner planner, WakeOrder defaults,
                    std::function<void(const ReplyAddress &to, const RelayReply &reply)> reply,
                    std::function<void(RequestEnd end)> ended);
    // A request as it came over the network.
    void RelayRequest(ByteView payload, const ReplyAddress &to);
    // --machine, once listening: keeps each machine's state, asking it by ARP through
    // `asker` on the one of `interfaces` whose subnet holds its address.
    void TrackMachines(MachineAsker &asker, std::vector<SendInterface> interfaces);
    // Each ARP or DHCP frame a machine sent, as it comes.
    void WatchSignsOfLife(std::function<void(const SignOfLife &, const std::string &, RealTime)> seen)
    {
        m_watch.OnSignOfLife = std::move(seen);
    }
    // Stops listening, destroys the listener, writes the summary and leaves the
    // event loop with `exitStatus`. Only the first call counts.
    void Finish(int exitStatus);

private:
    static SegmentWatch::Settings SettingsFor(const WatchOptions &options, bool captureRunning);
    void DataAvailable(const PacketReport &report);
    void ArmDrain();
    void TimedOut();
    template <typename Waker> void Drive(WakeSender &sender, Waker &waker);
    void ArmWake();

    WatchOptions m_options;
    std::unique_ptr<TPacketListener> m_listener;
    LinkCapture *m_capture;
    std::string m_captureFailure;
    WatchMetrics *m_metrics;
    SystemWatchClock m_clock;
    ConsoleReport m_report;
    FanOutSink m_sinks;
    SegmentWatch m_watch;
    QTimer m_drainTimer;
    std::optional<SteadyTime> m_drainDeadline;
    QTimer m_filterUpdate;
    QTimer m_secondTimer; // ends the sweeps and wake watches whose time has passed
    QTimer m_timeout;
    bool m_finished = false;
    bool m_passive = true; // the raw socket listens: the watch sees signs of life
    std::unique_ptr<WakeEngine> m_wake;
    QTimer m_wakeTimer;
    std::unique_ptr<QSocketNotifier> m_echoNotifier;
    std::unique_ptr<WakeRelay> m_relay;
    std::function<std::optional<SteadyTime>()> m_nextWakeDue; // of the engine or the relay
};
