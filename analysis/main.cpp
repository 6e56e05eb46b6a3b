// tarn-analyze: runs the impervious surface analysis that a parameter file describes, on the
// themes of a data folder or of a host project description.
#include "datacatalog.h"
#include "imperviousanalysis.h"
#include "modelparamsfile.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

namespace {

constexpr int ExitFailed = 1; // the analysis ran into a problem; no output written
constexpr int ExitUsage = 2;  // bad arguments, parameter file or data folder

const char usage[] = "usage: tarn-analyze PARAMS --data DIR\n"
                     "       tarn-analyze PARAMS --project PROJECT.json\n";

void out(const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void error(const QString& line)
{
    std::fputs(("tarn-analyze: " + line + "\n").toUtf8().constData(), stderr);
}

} // namespace

int main(int argc, char* argv[])
try {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 3 ||
        (args[1] != QLatin1String("--data") && args[1] != QLatin1String("--project"))) {
        std::fputs(usage, stderr);
        return ExitUsage;
    }
    QString problem;
    const auto params = ModelParamsFile::load(args[0], &problem);
    if (!params) {
        error(problem);
        return ExitUsage;
    }
    const auto catalog = args[1] == QLatin1String("--data")
                             ? DataCatalog::scanFolder(args[2], &problem)
                             : DataCatalog::fromProjectFile(args[2], &problem);
    if (!catalog) {
        error(problem);
        return ExitUsage;
    }

    ImperviousAnalysis analysis(*params, *catalog);
    analysis.setLog(out);
    analysis.setProgress([](int percent) { out(QStringLiteral("progress: %1%").arg(percent)); });
    const ImperviousAnalysis::Result result = analysis.run();
    if (!result.ok) {
        error(result.error);
        return ExitFailed;
    }
    return 0;
} catch (const std::exception& e) {
    // Out of memory, most likely, outside the analysis proper.
    error(QStringLiteral("stopped: %1").arg(QString::fromLocal8Bit(e.what())));
    return ExitFailed;
}
