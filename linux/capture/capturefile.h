#pragma once

#include "linkcapture.h"

#include <QTimer>

// The frames of a pcap or pcapng file, or of standard input for "-", as the live
// capture hands them over, each with the time the capture stamped it. Reading
// needs no privilege; it goes on in slices from the event loop until the file ends.
class PcapFileCapture final : public LinkCapture
{
public:
    static constexpr int kFramesPerSlice = 512;

    PcapFileCapture();
    ~PcapFileCapture() override;
    Q_DISABLE_COPY_MOVE(PcapFileCapture)

    // `path` is the file, or "-"; false, with LastError, when it cannot be read as
    // a capture of Ethernet frames.
    bool Open(const std::string &path) override;
    void Start() override;
    // Reading goes at its own pace: nothing waits in a kernel queue.
    void ReadQueued() override {}
    void Close() override;
    // The file's name stands for the interface its frames were captured on.
    std::vector<std::string> Interfaces() const override { return {m_name}; }
    const std::string &LastError() const override { return m_lastError; }
    std::uint64_t Drops() override { return 0; }

    enum class Ending {
        Whole,           // the file simply ended
        Damaged,         // it ends in the middle of a packet, or could not be read on
        MixedInterfaces, // a later interface of a pcapng file that libpcap does not read
    };
    // Once the last frame has been handed over; `error` says what cut the reading short.
    std::function<void(Ending ending, const std::string &error)> OnEnd;
    // The frames handed over so far.
    std::uint64_t Frames() const { return m_frames; }

    // What to run on a pcapng file whose interfaces libpcap does not read together.
    static std::string MixedInterfacesHint(const std::string &path);

private:
    void ReadSlice();

    struct pcap *m_pcap = nullptr;
    std::string m_name;
    std::string m_lastError;
    std::uint64_t m_frames = 0;
    QTimer m_slices;
};
