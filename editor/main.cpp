#include "base/programinfo.h"
#include "editor/frmismodelprops.h"
#include "hostlink/commandsource.h"
#include "model/storelocation.h"
#include "shared_windows/qtprompts.h"

#include <QApplication>
#include <QPointer>

#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: tarnProps\n"
    "\n"
    "The coefficient editor: edit, add, import, export and merge the coefficient sets of the\n"
    "store the programs use (tarn-store where names it; the Help window shows it too).\n"
    "\n"
    "Options:\n"
    "  --help     this text\n"
    "  --version  the version\n";

} // namespace

int main(int argc, char* argv[])
{
    if (answerVersionOrHelp(argc, argv, "tarnProps", kUsage)) {
        return 0;
    }
    QApplication app(argc, argv);
    // A window with an empty title shows the application's name. No display name: Qt would
    // append it to every title.
    QApplication::setApplicationName(QStringLiteral("tarnProps"));

    QtPrompts prompts(QStringLiteral("tarnProps"));
    // Served before the store loads, so that a second copy hands over before it shows anything.
    QPointer<frmISModelProps> target;
    CommandSource commands(QStringLiteral("tarnProps"));
    commands.setExecuteHandler(
        [&target](const QString& command) { return target && target->HostExecute(command); });
    QString why;
    switch (serveOrHandOver(commands, &why)) {
    case StartOutcome::HandedOver:
        return 0;
    case StartOutcome::Unreachable:
        std::fprintf(stderr, "tarnProps: no host commands will arrive: %s\n", qPrintable(why));
        prompts.message(why, Prompts::Icon::Exclamation);
        break;
    case StartOutcome::Serving:
        break;
    }

    // Deleted on closing, so that a host command arriving after it finds no window to show.
    auto* window = new frmISModelProps(locateStore().path, prompts);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!window->Form_Load()) {
        delete window;
        return 1;
    }
    // Boxes shown once the window is up are centred over it.
    prompts.setDialogParent(window);
    target = window;

    window->show();
    return app.exec();
}
