#include "listenform.h"

#include "formposition.h"
#include "helpform.h"
#include "icons.h"
#include "ui_listenform.h"

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QStyle>
#include <QToolButton>

namespace {

constexpr QSize kClientSize(301, 313);
constexpr int kToolBarHeight = 29;
constexpr QSize kToolButtonSize(23, 22);
constexpr int kFontPixelSize = 12;

ScreenRect ToScreenRect(const QRect &rect)
{
    return {rect.x(), rect.y(), rect.x() + rect.width(), rect.y() + rect.height()};
}

} // namespace

TListenForm::TListenForm(SocketCalls &socketCalls, QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::TListenForm>())
{
    m_ui->setupUi(this);
    // Closing ends the run: the window is destroyed and the listener with it.
    setAttribute(Qt::WA_DeleteOnClose);
    m_log = std::make_unique<MemoLog>(*m_ui->ShowMemo);

    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    setWindowIcon(MainIcon());

    m_ui->IconToolBar->setFixedHeight(kToolBarHeight);
    m_ui->IconToolBar->layout()->setSpacing(0);
    m_ui->IconToolBar->layout()->setContentsMargins(0, 0, 0, 0);
    const std::pair<QAction *, const char *> buttons[] = {
        {m_ui->ExitAction, "ExitToolButton"},
        {m_ui->ClearAction, "ClearToolButton"},
        {m_ui->HelpAction, "HelpToolButton"},
    };
    for (const auto &[action, name] : buttons) {
        QWidget *button = m_ui->IconToolBar->widgetForAction(action);
        button->setObjectName(QLatin1String(name));
        button->setFixedSize(kToolButtonSize);
    }

    connect(m_ui->ExitAction, &QAction::triggered, this, &TListenForm::ExitToolButtonClick);
    connect(m_ui->ClearAction, &QAction::triggered, this, &TListenForm::ClearToolButtonClick);
    connect(m_ui->HelpAction, &QAction::triggered, this, &TListenForm::HelpToolButtonClick);

    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, kClientSize,
                                    QGuiApplication::primaryScreen()->availableGeometry()));

    FormCreate(socketCalls);
}

TListenForm::~TListenForm()
{
    FormDestroy();
}

void TListenForm::FormCreate(SocketCalls &socketCalls)
{
    m_iconImageList = ToolIcons();
    m_ui->ExitAction->setIcon(m_iconImageList.at(0));
    m_ui->ClearAction->setIcon(m_iconImageList.at(1));
    m_ui->HelpAction->setIcon(m_iconImageList.at(2));

    m_dateTimeSettings = DateTimeSettingsFromLocale(QLocale::system());

    m_listener = std::make_unique<TPacketListener>(socketCalls);
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    if (!m_listener->StartListening())
        m_log->Append(NotListeningLine(m_listener->LastError()));
}

void TListenForm::FormDestroy()
{
    if (!m_listener)
        return;
    if (m_listener->IsListening())
        m_listener->StopListening();
    m_listener.reset();
}

void TListenForm::SetFormPosition(const QWidget &reference, QWidget &form)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect outer = reference.frameGeometry();
    // A window that has not been shown has no frame yet; expect the one the reference has.
    const QSize size = form.isVisible() ? form.frameGeometry().size()
                                        : form.size() + (outer.size() - reference.geometry().size());
    // For a window not yet shown, move() places the outer frame's corner.
    const ScreenPoint position = FormPosition(ToScreenRect(screen->geometry()), ToScreenRect(screen->availableGeometry()),
                                              ToScreenRect(outer), size.width(), size.height());
    form.move(position.x, position.y);
}

void TListenForm::DataAvailable(const PacketReport &report)
{
    WriteReport(*m_log, report, m_listener->LastError(), ToLocalDateTime(m_clock()), m_dateTimeSettings);
}

void TListenForm::ExitToolButtonClick()
{
    close();
}

void TListenForm::HelpToolButtonClick()
{
    // No owner: the window lives for one showing and is released once it has closed.
    auto *helpForm = new THelpForm;
    SetFormPosition(*this, *helpForm);
    helpForm->exec();
    helpForm->deleteLater();
}

void TListenForm::ClearToolButtonClick()
{
    m_log->Empty();
}
