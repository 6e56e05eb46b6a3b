// tarn-analyze: runs the impervious surface analysis that a parameter file describes, on the
// themes of a data folder or of a host project description.
#include "analysis/datacatalog.h"
#include "analysis/hostproject.h"
#include "analysis/imperviousanalysis.h"
#include "model/modelparams.h"

#include <QCommandLineParser>
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
    "       tarn-analyze --help\n"
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
int checkRun(const ModelParams& params, bool dataFolder, const QString& path)
{
    QString problem;
    const auto project = dataFolder ? HostProject::fromDataFolder(path, QString(), &problem)
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
    for (const QString& theme : HostProject::themesRead(params)) {
        out(QStringLiteral("reads: ") + theme);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
try {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption checkOption(QStringLiteral("check"));
    const QCommandLineOption data(QStringLiteral("data"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption projectFile(QStringLiteral("project"), QString(),
                                         QStringLiteral("PROJECT.json"));
    parser.addOptions({help, checkOption, data, projectFile});
    const bool parsed = parser.parse(app.arguments());
    if (parsed && parser.isSet(help)) {
        std::fputs(usage, stdout);
        return 0;
    }
    const QStringList args = parser.positionalArguments();
    if (!parsed || args.size() != 1 || parser.isSet(data) == parser.isSet(projectFile)) {
        std::fputs(usage, stderr);
        return ExitUsage;
    }
    const bool check = parser.isSet(checkOption);
    const bool dataFolder = parser.isSet(data);
    const QString source = parser.value(dataFolder ? data : projectFile);
    QString problem;
    const auto params = ModelParams::load(args[0], &problem);
    if (!params) {
        error(problem);
        return check ? ExitFailed : ExitUsage;
    }
    if (check) {
        return checkRun(*params, dataFolder, source);
    }
    const auto catalog = dataFolder ? DataCatalog::scanFolder(source, &problem)
                                    : DataCatalog::fromProjectFile(source, &problem);
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
