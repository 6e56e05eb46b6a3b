#include "commandsource.h"
#include "frmismodelprops.h"

#include <QApplication>
#include <QPointer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnProps"));
    // Boxes without a title read the program's title.
    QApplication::setApplicationDisplayName(QStringLiteral("tarnProps"));

    auto* window = new frmISModelProps;
    if (!window->loaded()) {
        // The store did not load; the message has been shown and nothing was written.
        delete window;
        return 1;
    }
    window->setAttribute(Qt::WA_DeleteOnClose);

    CommandSource commands(QStringLiteral("tarnProps"));
    const QPointer<frmISModelProps> target = window;
    commands.setExecuteHandler(
        [target](const QString& command) { return target && target->HostExecute(command); });
    if (commands.listen() != CommandSource::ListenResult::Listening) {
        qWarning("tarnProps: no host commands will arrive: %s", qPrintable(commands.errorString()));
    }

    window->show();
    return app.exec();
}
