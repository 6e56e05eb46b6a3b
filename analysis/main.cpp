// tarn-analyze: runs the impervious surface analysis that a parameter file describes, on the
// themes of a data folder or of a host project description.
#include "analysis/imperviousanalysis.h"
#include "base/programinfo.h"
#include "catalog/datacatalog.h"
#include "catalog/hostproject.h"
#include "catalog/outputtarget.h"
#include "model/modelparams.h"
#include "model/storelocation.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <exception>
#include <optional>

namespace {

constexpr int ExitFailed = 1; // the analysis ran into a problem; no output written
constexpr int ExitUsage = 2;  // bad arguments, parameter file or data folder

const char usage[] =
    "usage: tarn-analyze PARAMS (--data DIR | --project PROJECT.json) [options]\n"
    "       tarn-analyze --check PARAMS (--data DIR | --project PROJECT.json) [--format NAME]\n"
    "  --check                          whether the parameters fit the themes, as a host checks\n"
    "                                   before a run; prints \"writes: OUTPUT\", then\n"
    "                                   \"reads: THEME\" for each theme the run reads\n"
    "  --coverage centre|exact|touched  cells of a polygon: by centre (default), by the\n"
    "                                   share of each cell inside, or every cell touched\n"
    "  --format NAME                    GDAL vector format of the output (default: by its\n"
    "                                   extension: .shp .gpkg .geojson .fgb .csv)\n"
    "  --keep-fields                    copy every field of the analysis theme\n"
    "  --class-areas                    add the area of each land cover class (A_value)\n"
    "  --icm                            add the impervious cover model's class (ICM_CLASS)\n"
    "  --land-cover LABEL=FILE          twice or more: a change run of these land covers in\n"
    "                                   place of LCTHEME (fields named by the labels)\n"
    "  --threads N                      threads reading the raster (default: the cores)\n"
    "  --version                        the version\n";

void out(const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void error(const QString& line)
{
    std::fputs(("tarn-analyze: " + line + "\n").toUtf8().constData(), stderr);
}

struct Arguments {
    QString params;
    QString data;
    QString project;
    bool check = false;
    bool icm = false;
    QVector<ImperviousAnalysis::LandCover> landCovers; // label and file
    ImperviousAnalysis::Options options;
};

// The arguments, or nothing when they do not fit the usage.
std::optional<Arguments> parseArguments(const QStringList& arguments, bool* help)
{
    QCommandLineParser parser;
    const QCommandLineOption data("data", {}, "DIR");
    const QCommandLineOption project("project", {}, "PROJECT");
    const QCommandLineOption coverage("coverage", {}, "RULE");
    const QCommandLineOption format("format", {}, "NAME");
    const QCommandLineOption keepFields("keep-fields");
    const QCommandLineOption classAreas("class-areas");
    const QCommandLineOption icm("icm");
    const QCommandLineOption landCover("land-cover", {}, "LABEL=FILE");
    const QCommandLineOption threads("threads", {}, "N");
    const QCommandLineOption check("check");
    const QCommandLineOption helpOption("help");
    parser.addOptions({data, project, coverage, format, keepFields, classAreas, icm, landCover,
                       threads, check, helpOption});
    if (!parser.parse(arguments)) {
        return std::nullopt;
    }
    *help = parser.isSet(helpOption);
    Arguments args;
    args.data = parser.value(data);
    args.project = parser.value(project);
    if (parser.positionalArguments().size() != 1 || args.data.isEmpty() == args.project.isEmpty()) {
        return std::nullopt;
    }
    args.params = parser.positionalArguments().constFirst();
    if (parser.isSet(coverage)) {
        const auto rule = coverageByName(parser.value(coverage));
        if (!rule) {
            return std::nullopt;
        }
        args.options.coverage = *rule;
    }
    if (parser.isSet(threads)) {
        bool ok = false;
        args.options.threads = parser.value(threads).toInt(&ok);
        if (!ok || args.options.threads < 1) {
            return std::nullopt;
        }
    }
    args.options.format = parser.value(format);
    args.options.keepFields = parser.isSet(keepFields);
    args.options.classAreas = parser.isSet(classAreas);
    args.icm = parser.isSet(icm);
    for (const QString& text : parser.values(landCover)) {
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals < 0) {
            return std::nullopt;
        }
        args.landCovers.push_back({text.left(equals), text.mid(equals + 1)});
    }
    if (args.landCovers.size() == 1) {
        return std::nullopt;
    }
    args.check = parser.isSet(check);
    return args;
}

// A host's check before it answers a run request: the parameters against the view, its
// themes and fields, and the output.
int checkRun(const ModelParams& params, const Arguments& args)
{
    QString problem;
    const auto project = !args.data.isEmpty()
                             ? HostProject::fromDataFolder(args.data, QString(), &problem)
                             : HostProject::load(args.project, &problem);
    if (!project) {
        error(problem);
        return ExitUsage;
    }
    const auto target = OutputTarget::resolve(params.outTheme, args.options.format, &problem);
    if (target) {
        problem = project->checkRun(params, true, args.options.format);
    }
    if (!problem.isEmpty()) {
        error(problem);
        return ExitFailed;
    }
    out(QStringLiteral("writes: ") + target->path);
    for (const QString& theme : HostProject::themesRead(params)) {
        out(QStringLiteral("reads: ") + theme);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
try {
    if (answerVersionOrHelp(argc, argv, "tarn-analyze", nullptr)) {
        return 0;
    }
    QCoreApplication app(argc, argv);
    bool help = false;
    const auto args = parseArguments(app.arguments(), &help);
    if (help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!args) {
        std::fputs(usage, stderr);
        return ExitUsage;
    }
    QString problem;
    const auto params = ModelParams::load(args->params, &problem);
    if (!params) {
        error(problem);
        return args->check ? ExitFailed : ExitUsage;
    }
    if (args->check) {
        return checkRun(*params, *args);
    }
    auto catalog = !args->data.isEmpty() ? DataCatalog::scanFolder(args->data, &problem)
                                         : DataCatalog::fromProjectFile(args->project, &problem);
    if (!catalog) {
        error(problem);
        return ExitUsage;
    }
    for (const QString& note : catalog->notes) {
        out(QStringLiteral("note: ") + note);
    }

    // The run's coefficients are the parameter file's; the store is named so that a log
    // tells which store the user's programs work with.
    out(QStringLiteral("coefficient store: ") + locateStore().describe());
    // Each land cover file a grid theme named by its path.
    for (const ImperviousAnalysis::LandCover& landCover : args->landCovers) {
        catalog->grids.prepend({landCover.theme, {landCover.theme, {}}, {}});
    }
    ImperviousAnalysis analysis(*params, *catalog);
    analysis.setLandCovers(args->landCovers);
    analysis.setOptions(args->options);
    analysis.setWatershedClasses(args->icm);
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
