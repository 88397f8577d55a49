#pragma once

#include "weblauncher.h"

#include <QDialog>

#include <memory>
#include <optional>

namespace Ui {
class THelpForm;
}

class QLabel;

// The About window: product information and two links to web pages.
class THelpForm final : public QDialog
{
    Q_OBJECT

public:
    explicit THelpForm(WebLauncher &launcher = SystemWebLauncher());
    ~THelpForm() override;
    Q_DISABLE_COPY_MOVE(THelpForm)

    // The address that a link opens: the text it shows followed by "/index.html".
    static QString LinkAddress(const QLabel &link);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void ShowWebPage(const QString &address);
    void FormCreate();
    void Site1LabelMouseDown();
    void SiteLabelMouseEnter();
    void SiteLabelMouseLeave();
    void Site2LabelMouseDown();
    void SetApplicationCursor(std::optional<Qt::CursorShape> shape);

    std::unique_ptr<Ui::THelpForm> m_ui;
    WebLauncher &m_launcher;
    // The application-wide pointer shape in force at creation; none means each widget's own.
    std::optional<Qt::CursorShape> m_savedCursor;
    bool m_cursorPushed = false;
};
