#include "editor/frmismodelprops.h"
#include "hostlink/commandsource.h"
#include "shared_windows/qtprompts.h"

#include <QApplication>
#include <QPointer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnProps"));
    // Boxes without a title read the program's title.
    QApplication::setApplicationDisplayName(QStringLiteral("tarnProps"));

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
        QtPrompts(QStringLiteral("tarnProps")).message(why, Prompts::Icon::Exclamation);
        break;
    case StartOutcome::Serving:
        break;
    }

    auto* window = new frmISModelProps;
    if (!window->loaded()) {
        // The store did not load; the message has been shown and nothing was written.
        delete window;
        return 1;
    }
    window->setAttribute(Qt::WA_DeleteOnClose);
    target = window;

    window->show();
    return app.exec();
}
