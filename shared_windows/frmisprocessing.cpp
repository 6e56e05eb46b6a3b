#include "shared_windows/frmisprocessing.h"

#include "shared_windows/twips.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QWindow>
#include <QtGlobal>

namespace {

QPointer<frmISProcessing> s_current;

} // namespace

frmISProcessing* frmISProcessing::showNotice(QWidget* owner)
{
    if (!s_current) {
        s_current = new frmISProcessing(owner);
    }
    s_current->show();
    s_current->raise();
    return s_current;
}

void frmISProcessing::reshowNotice()
{
    if (s_current) {
        s_current->show();
        s_current->raise();
    }
}

void frmISProcessing::hideNotice()
{
    if (s_current) {
        s_current->hide();
    }
}

void frmISProcessing::closeNotice()
{
    delete s_current.data();
}

void frmISProcessing::paintNotice()
{
    if (!s_current || !s_current->isVisible()) {
        return;
    }
    // A window is drawn once the window system has mapped it, which takes a turn of the event
    // loop. Only the window system's own events run here: no input, timers or sockets, so
    // neither a second Run nor a host command slips into the middle of a request.
    constexpr QEventLoop::ProcessEventsFlags windowEventsOnly = QEventLoop::ExcludeUserInputEvents |
                                                                QEventLoop::ExcludeSocketNotifiers |
                                                                QEventLoop::X11ExcludeTimers;
    const QDeadlineTimer deadline(500);
    QCoreApplication::processEvents(windowEventsOnly);
    while (s_current && !s_current->windowHandle()->isExposed() && !deadline.hasExpired()) {
        QThread::msleep(5);
        QCoreApplication::processEvents(windowEventsOnly);
    }
    if (s_current) {
        s_current->repaint();
    }
}

frmISProcessing* frmISProcessing::current()
{
    return s_current;
}

frmISProcessing::frmISProcessing(QWidget* owner)
    : QWidget(owner, Qt::Dialog),
      Label1(new QLabel(QStringLiteral("Performing Impervious Surface Analysis.  Please wait..."),
                        this)),
      cmdCancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("frmISProcessing"));
    setWindowTitle(QString());
    // The user's close box would destroy it, as the host's command does.
    setAttribute(Qt::WA_DeleteOnClose);

    Label1->setObjectName(QStringLiteral("Label1"));
    // Plain text keeps the two spaces after the full stop.
    Label1->setTextFormat(Qt::PlainText);
    QRect label = TwipsLayout().rect(600, 240, 5175, 255);
    // The label is sized for the classic 8 point face; keep the whole line visible in
    // wider fonts, with the same margin on the right as on the left.
    label.setWidth(qMax(label.width(), Label1->sizeHint().width()));
    label.setHeight(qMax(label.height(), Label1->sizeHint().height()));
    Label1->setGeometry(label);

    QSize client = TwipsLayout().size(6136, 728);
    client.setWidth(qMax(client.width(), label.right() + 1 + label.left()));
    client.setHeight(qMax(client.height(), label.bottom() + 1 + label.top()));
    setFixedSize(client);

    // Below the text, centred, once a host says it can stop the run.
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    QRect button = TwipsLayout().rect(0, 0, 1215, 375);
    button.setWidth(qMax(button.width(), cmdCancel->sizeHint().width()));
    button.moveTo((client.width() - button.width()) / 2, client.height());
    cmdCancel->setGeometry(button);
    cmdCancel->hide();
    connect(cmdCancel, &QPushButton::clicked, this, &frmISProcessing::cancelClicked);
    // Without a window manager's placement it would open at the screen's corner.
    if (owner) {
        move(owner->geometry().center() - rect().center());
    }
}

void frmISProcessing::offerCancel()
{
    if (!cmdCancel->isHidden()) {
        return;
    }
    const QRect button = cmdCancel->geometry();
    setFixedSize(width(), button.bottom() + 1 + Label1->geometry().top());
    cmdCancel->setEnabled(true);
    cmdCancel->show();
}

void frmISProcessing::setCancelEnabled(bool enabled)
{
    cmdCancel->setEnabled(enabled);
}

frmISProcessing::~frmISProcessing()
{
    if (s_current == this) {
        s_current = nullptr;
    }
}

void frmISProcessing::closeEvent(QCloseEvent* event)
{
    if (s_current == this) {
        s_current = nullptr;
    }
    QWidget::closeEvent(event);
}
