// tarn-store: the coefficient store from the command line, through the same procedures as
// the editor, for batch work and scripts.
#include "tools/storecli.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    return runStoreCli(app.arguments().mid(1));
}
