#pragma once

#include "memolog.h"
#include "packetlistener.h"
#include "regionalsettings.h"

#include <QDateTime>
#include <QIcon>
#include <QList>
#include <QMainWindow>

#include <functional>
#include <memory>

namespace Ui {
class TListenForm;
}

class TListenForm final : public QMainWindow
{
    Q_OBJECT

public:
    explicit TListenForm(SocketCalls &socketCalls = SystemSocketCalls(), QWidget *parent = nullptr);
    ~TListenForm() override;
    Q_DISABLE_COPY_MOVE(TListenForm)

    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    const TPacketListener *Listener() const { return m_listener.get(); }

private:
    void FormCreate(SocketCalls &socketCalls);
    void FormDestroy();
    void SetFormPosition(const QWidget &reference, QWidget &form);
    void DataAvailable(const PacketReport &report);
    void ExitToolButtonClick();
    void HelpToolButtonClick();
    void ClearToolButtonClick();

    std::unique_ptr<Ui::TListenForm> m_ui;
    std::unique_ptr<MemoLog> m_log;
    QList<QIcon> m_iconImageList;
    std::unique_ptr<TPacketListener> m_listener;
    DateTimeSettings m_dateTimeSettings;
    std::function<QDateTime()> m_clock = &QDateTime::currentDateTime;
};
