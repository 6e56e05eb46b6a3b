#include "shared_windows/frmhelpbrowser2.h"

#include "base/programinfo.h"
#include "shared_windows/prompts.h"
#include "shared_windows/twips.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>

namespace {

QPointer<frmHelpBrowser2> s_current;

const QRect kBrowserTwips = TwipsLayout().rect(100, 120, 9400, 5055);
const QSize kClientTwips = TwipsLayout().size(9581, 5239);

} // namespace

frmHelpBrowser2* frmHelpBrowser2::showHelp(Prompts& prompts, QWidget* parent,
                                           const QString& helpPath, const QString& storePath)
{
    if (s_current) {
        s_current->showNormal();
        s_current->raise();
        s_current->activateWindow();
        return s_current;
    }
    QPointer<frmHelpBrowser2> window = new frmHelpBrowser2(prompts, parent, helpPath, storePath);
    // Registered before loading: the missing-page message runs an event loop of its own.
    s_current = window;
    window->Form_Load();
    if (!window) {
        return nullptr; // its parent went away while the message was open
    }
    window->show();
    return window;
}

frmHelpBrowser2* frmHelpBrowser2::current()
{
    return s_current;
}

QString frmHelpBrowser2::standardHelpPath()
{
    return installedFile(QStringLiteral("help/is_index.html"),
                         QStringLiteral("help/is_index.html"));
}

frmHelpBrowser2::frmHelpBrowser2(Prompts& prompts, QWidget* parent, const QString& helpPath,
                                 const QString& storePath)
    : QWidget(parent, Qt::Window), m_prompts(prompts), m_helpPath(helpPath),
      brwHelpPage(new QTextBrowser(this)), cmdClose(new QPushButton(tr("Close"), this))
{
    setObjectName(QStringLiteral("frmHelpBrowser2"));
    setWindowTitle(QStringLiteral("Tarnwick Help"));
    setAttribute(Qt::WA_DeleteOnClose);
    QSize client = kClientTwips;
    if (!storePath.isEmpty()) {
        m_storeLine = new QLabel(tr("Coefficient store: %1").arg(storePath), this);
        m_storeLine->setObjectName(QStringLiteral("lblStore"));
        m_storeLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
        client.rheight() += m_storeLine->sizeHint().height();
    }
    resize(client);

    brwHelpPage->setObjectName(QStringLiteral("brwHelpPage"));
    brwHelpPage->setGeometry(kBrowserTwips);
    // Pages on the web go to the desktop's browser; local pages open here.
    brwHelpPage->setOpenExternalLinks(true);

    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setGeometry(TwipsLayout().rect(3600, 120, 855, 375));
    cmdClose->raise();
    connect(cmdClose, &QPushButton::clicked, this, &frmHelpBrowser2::cmdClose_Click);
}

frmHelpBrowser2::~frmHelpBrowser2()
{
    if (s_current == this) {
        s_current = nullptr;
    }
}

void frmHelpBrowser2::Form_Load()
{
    const QFileInfo page(m_helpPath);
    if (page.isFile()) {
        // Open the resolved path, so that the page's relative links resolve as the file
        // system does, symbolic links included.
        brwHelpPage->setSource(QUrl::fromLocalFile(page.canonicalFilePath()));
        return;
    }
    m_prompts.message(QStringLiteral("The Tarnwick help file (") + m_helpPath +
                          QStringLiteral(") does not exist."),
                      Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
}

void frmHelpBrowser2::cmdClose_Click()
{
    close();
}

void frmHelpBrowser2::closeEvent(QCloseEvent* event)
{
    // Destroyed later; from now on a Help click must create a new window.
    if (s_current == this) {
        s_current = nullptr;
    }
    QWidget::closeEvent(event);
}

void frmHelpBrowser2::resizeEvent(QResizeEvent* event)
{
    // The browser keeps its margins and follows the window's size; the store's line, when
    // there is one, stays below it.
    const QSize client = kClientTwips;
    const int line = m_storeLine ? m_storeLine->sizeHint().height() : 0;
    brwHelpPage->setGeometry(kBrowserTwips.left(), kBrowserTwips.top(),
                             width() - (client.width() - kBrowserTwips.width()),
                             height() - line - (client.height() - kBrowserTwips.height()));
    if (m_storeLine) {
        m_storeLine->setGeometry(kBrowserTwips.left(), brwHelpPage->geometry().bottom() + 1,
                                 brwHelpPage->width(), line);
    }
    QWidget::resizeEvent(event);
}
