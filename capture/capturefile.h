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

    // Once the last frame has been handed over; `error` is empty when the file
    // simply ended, else what cut the reading short.
    std::function<void(const std::string &error)> OnEnd;

private:
    void ReadSlice();

    struct pcap *m_pcap = nullptr;
    std::string m_name;
    std::string m_lastError;
    QTimer m_slices;
};
