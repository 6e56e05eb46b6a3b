#include "base/programinfo.h"
#include "hostlink/clientlink.h"
#include "hostlink/commandsource.h"
#include "launcher/frmisparams.h"
#include "model/storelocation.h"
#include "shared_windows/qtprompts.h"

#include <QApplication>

#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: tarn\n"
    "\n"
    "The analysis launcher, started by the GIS host (tarnhost start, or the QGIS plugin): it\n"
    "asks the host for the themes, writes model_params.txt and asks the host to run it.\n"
    "\n"
    "Options:\n"
    "  --help     this text\n"
    "  --version  the version\n";

} // namespace

int main(int argc, char* argv[])
{
    if (answerVersionOrHelp(argc, argv, "tarn", kUsage)) {
        return 0;
    }
    QApplication app(argc, argv);
    // A window with an empty title (a box, the processing notice) shows the application's
    // name. No display name: Qt would append it to every title.
    QApplication::setApplicationName(QStringLiteral("TARN"));
    // A hidden main window ("{hide}") must keep the program alive; it ends when the main
    // window unloads and nothing else of it is open.
    QApplication::setQuitOnLastWindowClosed(false);

    QtPrompts prompts(QStringLiteral("TARN"));
    // Served before the window loads, so that a second copy hands over before it asks the
    // host anything; commands are refused until the window is ready for them.
    frmISParams* ready = nullptr;
    CommandSource source(QStringLiteral("tarn"));
    source.setExecuteHandler(
        [&ready](const QString& command) { return ready && ready->HandleHostCommand(command); });
    QString why;
    switch (serveOrHandOver(source, &why)) {
    case StartOutcome::HandedOver:
        return 0;
    case StartOutcome::Unreachable:
        std::fprintf(stderr, "tarn: host commands cannot reach this window: %s\n", qPrintable(why));
        prompts.message(why, Prompts::Icon::Exclamation);
        break;
    case StartOutcome::Serving:
        break;
    }

    ClientLink link;
    frmISParams form(locateStore().path, prompts, link);
    prompts.setDialogParent(&form);
    if (!form.Form_Load()) {
        return 1;
    }
    ready = &form;

    QObject::connect(&form, &frmISParams::unloaded, &app, [&source] {
        source.close();
        // A help window still open stays; the program ends when it closes.
        bool otherOpen = false;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->objectName() != QLatin1String("frmISParams")) {
                otherOpen = true;
            }
        }
        if (otherOpen) {
            QApplication::setQuitOnLastWindowClosed(true);
        } else {
            QCoreApplication::quit();
        }
    });

    form.show();
    return app.exec();
}
