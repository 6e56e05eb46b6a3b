// tarn-analyze: runs the impervious surface analysis that a parameter file describes, on the
// themes of a data folder or of a host project description.
#include "analysis/datacatalog.h"
#include "analysis/hostproject.h"
#include "analysis/imperviousanalysis.h"
#include "model/modelparams.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

namespace {

constexpr int ExitFailed = 1; // the analysis ran into a problem, or --check found one
constexpr int ExitUsage = 2;  // bad arguments, parameter file or data folder

const char usage[] =
    "usage: tarn-analyze PARAMS --data DIR\n"
    "       tarn-analyze PARAMS --project PROJECT.json\n"
    "       tarn-analyze --check PARAMS (--data DIR | --project PROJECT.json)\n"
    "--check: whether the parameters fit the project, as its host checks before\n"
    "a run; prints \"writes: OUTPUT\", then \"reads: THEME\" for each theme the run reads.\n";

void out(const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void error(const QString& line)
{
    std::fputs(("tarn-analyze: " + line + "\n").toUtf8().constData(), stderr);
}

// A host's check before it answers a run request: the parameters against the view, its
// themes and fields, and the output folder.
int checkRun(const ModelParams& params, const QString& option, const QString& path)
{
    QString problem;
    const auto project = option == QLatin1String("--data")
                             ? HostProject::fromDataFolder(path, QString(), &problem)
                             : HostProject::load(path, &problem);
    if (!project) {
        error(problem);
        return ExitUsage;
    }
    problem = project->checkRun(params, true);
    if (!problem.isEmpty()) {
        error(problem);
        return ExitFailed;
    }
    out(QStringLiteral("writes: ") + ImperviousAnalysis::outputPath(params));
    for (const QString& theme : HostProject::themesRead(params))
        out(QStringLiteral("reads: ") + theme);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
try {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool check = args.value(0) == QLatin1String("--check");
    if (check)
        args.removeFirst();
    if (args.size() != 3 ||
        (args[1] != QLatin1String("--data") && args[1] != QLatin1String("--project"))) {
        std::fputs(usage, stderr);
        return ExitUsage;
    }
    QString problem;
    const auto params = ModelParams::load(args[0], &problem);
    if (!params) {
        error(problem);
        return check ? ExitFailed : ExitUsage;
    }
    if (check)
        return checkRun(*params, args[1], args[2]);
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
