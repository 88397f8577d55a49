#include "helpform.h"

#include "ui_helpform.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>

namespace {

constexpr int kFontPixelSize = 12;

std::optional<Qt::CursorShape> ApplicationCursor()
{
    if (const QCursor *cursor = QGuiApplication::overrideCursor())
        return cursor->shape();
    return std::nullopt;
}

bool IsPress(QEvent::Type type)
{
    // The second press of a double click arrives as the double click itself.
    return type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick;
}

} // namespace

THelpForm::THelpForm(WebLauncher &launcher)
    : QDialog(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , m_ui(std::make_unique<Ui::THelpForm>())
    , m_launcher(launcher)
{
    m_ui->setupUi(this);
    m_ui->Label7->setText(QStringLiteral("Version " CORVALEN_VERSION));

    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    for (QLabel *label : {m_ui->Label6, m_ui->Label7, m_ui->WindowsLabel, m_ui->ServerLabel, m_ui->MailLabel, m_ui->Site1Label,
                          m_ui->Site2Label})
        label->adjustSize();

    connect(m_ui->OkButton, &QPushButton::clicked, this, &QDialog::accept);
    m_ui->Site1Label->installEventFilter(this);
    m_ui->Site2Label->installEventFilter(this);

    FormCreate();
}

THelpForm::~THelpForm() = default;

QString THelpForm::LinkAddress(const QLabel &link)
{
    return link.text() + QStringLiteral("/index.html");
}

void THelpForm::ShowWebPage(const QString &address)
{
    if (OpenWebPage(m_launcher, address))
        return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("Default web browser could not be found."), QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

void THelpForm::FormCreate()
{
    m_savedCursor = ApplicationCursor();
}

void THelpForm::Site1LabelMouseDown()
{
    ShowWebPage(LinkAddress(*m_ui->Site1Label));
}

void THelpForm::SiteLabelMouseEnter()
{
    SetApplicationCursor(Qt::PointingHandCursor);
}

void THelpForm::SiteLabelMouseLeave()
{
    SetApplicationCursor(m_savedCursor);
}

void THelpForm::Site2LabelMouseDown()
{
    ShowWebPage(LinkAddress(*m_ui->Site2Label));
}

void THelpForm::SetApplicationCursor(std::optional<Qt::CursorShape> shape)
{
    // Qt keeps override cursors on a stack: take back only what this window put there.
    if (m_cursorPushed) {
        QGuiApplication::restoreOverrideCursor();
        m_cursorPushed = false;
    }
    if (shape && shape != ApplicationCursor()) {
        QGuiApplication::setOverrideCursor(*shape);
        m_cursorPushed = true;
    }
}

bool THelpForm::eventFilter(QObject *watched, QEvent *event)
{
    const bool site1 = watched == m_ui->Site1Label;
    if (!site1 && watched != m_ui->Site2Label)
        return QDialog::eventFilter(watched, event);
    if (IsPress(event->type())) {
        if (site1)
            Site1LabelMouseDown();
        else
            Site2LabelMouseDown();
        return true;
    }
    if (event->type() == QEvent::Enter)
        SiteLabelMouseEnter();
    else if (event->type() == QEvent::Leave)
        SiteLabelMouseLeave();
    return QDialog::eventFilter(watched, event);
}

void THelpForm::hideEvent(QHideEvent *event)
{
    // Closed with the pointer over a link: the hand must not outlive the window.
    SetApplicationCursor(m_savedCursor);
    QDialog::hideEvent(event);
}

void THelpForm::keyPressEvent(QKeyEvent *event)
{
    // Only OkButton closes the window.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
