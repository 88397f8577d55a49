#pragma once

#include "datetimetext.h"
#include "linkcapture.h"
#include "machineinfo.h"
#include "magicevents.h"
#include "packetlistener.h"
#include "arpwatch.h"
#include "sweeps.h"
#include "wakewatch.h"
#include "commandline.h"
#include "journal.h"
#include "metrics.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>

// The listener's notifications as lines on standard output, one event at a time.
class TConsoleWatch final : public QObject
{
    Q_OBJECT

public:
    // How long the raw socket's datagrams may wait to be read together while the
    // link layer is watched too; well inside the merger's wait for the other source.
    static constexpr int kSocketBatchDelayMs = 50;
    // How long a change of the watched MACs may wait to reach the kernel filter.
    static constexpr int kFilterUpdateDelayMs = 250;
    // The kernel filter runs for every frame: it names the MACs of this many watches,
    // those begun last. A waking machine's ARP and DHCP pass for every watch anyway.
    static constexpr std::size_t kMostFilteredMacs = 16;

    // `capture` is the opened link-layer capture, or null; `captureFailure` says why
    // it could not be opened when it was wanted.
    TConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture = nullptr,
                  const std::string &captureFailure = {}, MachineInfo &machine = SystemMachineInfo());
    ~TConsoleWatch() override;
    Q_DISABLE_COPY_MOVE(TConsoleWatch)

    // Starts listening and says so on standard error; false when it cannot listen.
    bool Start();
    // Reads the capture file that `capture` has open, instead of the live traffic.
    void StartReading();
    bool LinkLayerWatched() const { return m_capture != nullptr; }
    // Counts every event in `metrics`, whatever --mac shows; null for none.
    void SetMetrics(WatchMetrics *metrics) { m_metrics = metrics; }
    // Writes the events to `journal` while it can be reached; null for standard output.
    void SetJournal(EventJournal *journal) { m_journal = journal; }
    // Stops listening, destroys the listener, writes the summary and leaves the
    // event loop with `exitStatus`. Only the first call counts.
    void Finish(int exitStatus);

private:
    void DataAvailable(const PacketReport &report);
    void WriteMagic(const PacketReport &report, const QDateTime &now);
    void WriteFailure(const PacketReport &report, const QDateTime &now, const std::string &error,
                      std::uint32_t dropped);
    void WriteLines(const PacketReport &report, const QDateTime &now, const std::string &error);
    void WriteEvent(const MagicEvent &event);
    void WriteMagicEvent(const MagicEvent &event);
    void WriteOutcome(const WakeOutcome &outcome);
    void WriteSweeps(const std::vector<SweepEvent> &sweeps);
    void WatchWake(const MagicEvent &event);
    // A frame from a watched machine, or ARP, in its place among the events.
    void SegmentFrameSeen(ByteView frame, std::int64_t timeNs);
    void WriteUnansweredArp(const UnansweredArp &arp);
    void WriteOutcomes(const std::vector<WakeOutcome> &outcomes);
    void EndTimedOutWatches(std::int64_t nowNs);
    void ScheduleFilterUpdate();
    std::optional<bool> WasAwake(const MacAddress &mac);
    void CountReported();
    void TimedOut();
    // Whether the journal took the event; its entry is made only when there is one.
    template <typename MakeEntry> bool Journaled(MakeEntry makeEntry)
    {
        return m_journal && m_journal->Send(makeEntry());
    }

    WatchOptions m_options;
    std::unique_ptr<TPacketListener> m_listener;
    LinkCapture *m_capture;
    std::string m_captureFailure;
    MagicEventMerger m_merger;
    SweepDetector m_sweeps;
    MachineInfo &m_machine;
    WakeWatcher m_wakes;
    ArpWatch m_arps;
    std::set<MacAddress> m_signsPending; // a sign of life of theirs waits among the events
    std::int64_t m_lastFrameNs = 0;      // of a capture file
    // The neighbour table as last read, at most once a second: a sweep reads it once.
    std::optional<std::vector<MacAddress>> m_reachable;
    std::int64_t m_reachableReadNs = 0;
    QTimer m_filterUpdate;
    QTimer m_secondTimer; // ends the sweeps and wake watches whose time has passed
    DateTimeSettings m_dateTimeSettings;
    QTimer m_timeout;
    long long m_magicReported = 0;
    long long m_nearMisses = 0;
    long long m_failedReceives = 0;
    std::uint64_t m_dropped = 0;
    bool m_finished = false;
    WatchMetrics *m_metrics = nullptr;
    EventJournal *m_journal = nullptr;
};
