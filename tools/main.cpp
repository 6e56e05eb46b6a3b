// tarn-store: the coefficient store from the command line, through the same procedures as
// the editor, for batch work and scripts.
#include "base/programinfo.h"
#include "tools/storecli.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    if (answerVersionOrHelp(argc, argv, "tarn-store", nullptr)) {
        return 0;
    }
    QCoreApplication app(argc, argv);
    return runStoreCli(app.arguments().mid(1));
}
