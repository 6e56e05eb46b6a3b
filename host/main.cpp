// tarnhost: a stand-in for the GIS host. It answers the launcher's requests from a project
// description, sends commands to the programs and starts them.
#include "base/programinfo.h"
#include "host/hostcli.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    if (answerVersionOrHelp(argc, argv, "tarnhost", nullptr)) {
        return 0;
    }
    QCoreApplication app(argc, argv);
    return runHostCli(app.arguments());
}
