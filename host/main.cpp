// tarnhost: a stand-in for the GIS host. It answers the launcher's requests from a project
// description, sends commands to the programs and starts them.
#include "host/hostcli.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    return runHostCli(app.arguments());
}
