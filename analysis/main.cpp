// tarn-analyze: runs the impervious surface analysis that its options describe, or that a
// parameter file describes on the themes of a data folder or of a host project description.
#include "analysis/analyzecli.h"
#include "base/programinfo.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
try {
    if (answerVersionOrHelp(argc, argv, "tarn-analyze", nullptr)) {
        return 0;
    }
    QCoreApplication app(argc, argv);
    return runAnalyzeCli(app.arguments().mid(1));
} catch (const std::exception& e) {
    // Out of memory, most likely, outside the analysis proper.
    std::fprintf(stderr, "tarn-analyze: stopped: %s\n", e.what());
    return 1;
}
