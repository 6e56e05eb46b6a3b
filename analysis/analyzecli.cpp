#include "analysis/analyzecli.h"

#include "analysis/outputplan.h"
#include "catalog/datacatalog.h"
#include "catalog/gdalsupport.h"
#include "catalog/hostproject.h"
#include "catalog/outputtarget.h"
#include "model/modelparams.h"
#include "model/storelocation.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int ExitFailed = 1; // the analysis ran into a problem; no output written
constexpr int ExitUsage = 2;  // bad arguments, parameter file, data folder or input files

const char usage[] =
    "Usage: tarn-analyze RUN -o FILE [OPTION]...\n"
    "  or:  tarn-analyze PARAMS (--data DIR | --project PROJECT.json) [OPTION]...\n"
    "  or:  tarn-analyze --check (RUN -o FILE | PARAMS (--data DIR | --project PROJECT.json))\n"
    "Estimates the impervious area of every polygon from a land cover raster and a\n"
    "coefficient of imperviousness per land cover class. The run is said by its files and\n"
    "choices (RUN), or by a parameter file with the themes of a data folder or of a host's\n"
    "project description (PARAMS), as the TARN launcher and hosts give it.\n"
    "\n"
    "The run (RUN):\n"
    "  --land-cover [LABEL=]FILE        the land cover raster (band 1, whole class values);\n"
    "                                   LABEL names it in the log (default: the file's\n"
    "                                   name); twice or more, a change run: each raster's\n"
    "                                   fields end in its LABEL (1 to 6 letters, digits or\n"
    "                                   _), then IS_CHG and IS_CHG_PCT, last less first.\n"
    "                                   With PARAMS, LABEL=FILE twice or more replaces\n"
    "                                   its LCTHEME the same way\n"
    "  --polygons FILE                  the polygons to measure, one output row each\n"
    "  --layer NAME                     their layer in FILE (default: the first polygon\n"
    "                                   layer; the log names it when there are several)\n"
    "  --field NAME                     the polygons' identifier field (text or whole\n"
    "                                   numbers), copied to the output\n"
    "  --set NAME                       the coefficients: the set NAME of the store the TARN\n"
    "                                   programs use (tarn-store where names it)\n"
    "  --store FILE                     with --set: that store instead\n"
    "  --coefficients FILE              or the coefficients of a text file, as tarn-store\n"
    "                                   show writes it (Value,ClassName,High,Medium,Low)\n"
    "  --coefficient high|medium|low    which coefficient of each class counts\n"
    "  --density-layer FILE[:LAYER]     or by population density: polygons whose density\n"
    "                                   each cell takes where its centre lies inside\n"
    "  --density-field NAME             their density field\n"
    "  --thresholds LOW,HIGH            the High coefficient at or above HIGH, Low at or\n"
    "                                   below LOW, Medium between and outside the polygons\n"
    "  --scenario FILE[:LAYER]=CLASS    cells inside these polygons become class CLASS (a\n"
    "                                   class value or name); repeat it for more, a later\n"
    "                                   one wins where they overlap\n"
    "  --units meters|feet              unit of the output areas (default: the land\n"
    "                                   cover's)\n"
    "  -o, --output FILE                the output; its extension chooses the format\n"
    "\n"
    "Options:\n"
    "  --check                          whether the run fits its files, as a host checks\n"
    "                                   before a run; prints \"writes: OUTPUT\", then\n"
    "                                   \"reads: \" and each theme (of PARAMS) or file\n"
    "  --coverage centre|exact|touched  cells of a polygon: by centre (default), by the\n"
    "                                   share of each cell inside, or every cell touched\n"
    "  --format NAME                    GDAL vector format of the output (default: by its\n"
    "                                   extension: .shp .gpkg .geojson .fgb .csv)\n"
    "  --keep-fields                    copy every field of the polygons\n"
    "  --class-areas                    add the area of each land cover class (A_value)\n"
    "  --icm                            add the impervious cover model's class by IS_PCT\n"
    "                                   (ICM_CLASS: 1 up to 10 %, 2 up to 25 %, 3 up to\n"
    "                                   60 %, 4 over 60 %, 0 without land cover)\n"
    "  --threads N                      threads reading the raster (default: the cores)\n"
    "  --version                        the version\n"
    "\n"
    "Examples:\n"
    "  The demo data's parcels by their Medium coefficients, the new development taken as\n"
    "  class 24 (Developed High Intensity), in the source folder after a build:\n"
    "\n"
    "  $ mkdir -p build/demo-work\n"
    "  $ build/bin/tarn-analyze \\\n"
    "  > --land-cover examples/demo-data/landcover_2016.tif \\\n"
    "  > --polygons examples/demo-data/parcels.shp --field APN \\\n"
    "  > --set \"NLCD Land Cover\" --coefficient medium \\\n"
    "  > --scenario examples/demo-data/new_development.shp=24 \\\n"
    "  > -o build/demo-work/parcels_is.shp\n"
    "\n"
    "  The change from 2016 to 2021, with the watershed classes of each year:\n"
    "\n"
    "  $ build/bin/tarn-analyze \\\n"
    "  > --land-cover 2016=examples/demo-data/landcover_2016.tif \\\n"
    "  > --land-cover 2021=examples/demo-data/landcover_2021.tif \\\n"
    "  > --polygons examples/demo-data/parcels.shp --field APN \\\n"
    "  > --set \"NLCD Land Cover\" --coefficient medium --icm \\\n"
    "  > -o build/demo-work/parcels_change.shp\n";

void out(const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void error(const QString& line)
{
    std::fputs(("tarn-analyze: " + line + "\n").toUtf8().constData(), stderr);
}

// What the options of a run miss or mix, or "".
QString describedProblem(const AnalyzeArguments& args, const QStringList& positional,
                         const QCommandLineParser& parser)
{
    const RunRequest& r = args.request;
    if (!positional.isEmpty()) {
        return QStringLiteral("%1: a parameter file goes with --data or --project, not with "
                              "the options of a run")
            .arg(positional.first());
    }
    QStringList missing;
    const auto need = [&](bool given, const char* option) {
        if (!given) {
            missing << QString::fromLatin1(option);
        }
    };
    need(!r.landCovers.isEmpty(), "--land-cover");
    need(!r.polygons.file.isEmpty(), "--polygons");
    need(!r.field.isEmpty(), "--field");
    need(!r.setName.isEmpty() || !r.coefficientFile.isEmpty(), "--set or --coefficients");
    need(!r.output.isEmpty(), "--output");
    if (!missing.isEmpty()) {
        return QStringLiteral("a run needs %1").arg(missing.join(QStringLiteral(", ")));
    }
    if (!r.setName.isEmpty() && !r.coefficientFile.isEmpty()) {
        return QStringLiteral("--set and --coefficients both give the coefficients: give one");
    }
    if (!r.store.isEmpty() && r.setName.isEmpty()) {
        return QStringLiteral("--store names the store of --set NAME; give --set too");
    }
    const bool density = parser.isSet("density-layer") || parser.isSet("density-field") ||
                         parser.isSet("thresholds");
    if (!r.coefficient.isEmpty() && density) {
        return QStringLiteral("--coefficient and the population density options exclude "
                              "each other: give one");
    }
    if (r.coefficient.isEmpty() && !density) {
        return QStringLiteral("give --coefficient high, medium or low, or --density-layer, "
                              "--density-field and --thresholds");
    }
    if (!r.coefficient.isEmpty() && r.coefficient != QLatin1String("high") &&
        r.coefficient != QLatin1String("medium") && r.coefficient != QLatin1String("low")) {
        return QStringLiteral("--coefficient %1: give high, medium or low").arg(r.coefficient);
    }
    if (density) {
        need(!r.density.file.isEmpty(), "--density-layer");
        need(!r.densityField.isEmpty(), "--density-field");
        need(!r.thresholds.isEmpty(), "--thresholds");
        if (!missing.isEmpty()) {
            return QStringLiteral("a run by population density needs %1 too")
                .arg(missing.join(QStringLiteral(", ")));
        }
    }
    for (const QString& text : parser.values("scenario")) {
        if (!RunRequest::scenarioOf(text)) {
            return QStringLiteral("--scenario %1: give FILE=CLASS or FILE:LAYER=CLASS").arg(text);
        }
    }
    return {};
}

RunRequest requestOf(const QCommandLineParser& parser)
{
    RunRequest r;
    for (const QString& text : parser.values("land-cover")) {
        r.landCovers << RunRequest::landCoverOf(text);
    }
    r.polygons = {parser.value("polygons"), parser.value("layer")};
    r.field = parser.value("field");
    r.setName = parser.value("set");
    r.store = parser.value("store");
    r.coefficientFile = parser.value("coefficients");
    r.coefficient = parser.value("coefficient").toLower();
    if (parser.isSet("density-layer")) {
        r.density = RunRequest::layerOf(parser.value("density-layer"));
    }
    r.densityField = parser.value("density-field");
    r.thresholds = parser.value("thresholds");
    for (const QString& text : parser.values("scenario")) {
        if (const auto scenario = RunRequest::scenarioOf(text)) {
            r.scenarios << *scenario;
        }
    }
    r.units = parser.value("units");
    r.output = parser.value("output");
    return r;
}

// The one run both forms end in.
int analyse(const ModelParams& params, const DataCatalog& catalog, const AnalyzeArguments& args,
            const QVector<ImperviousAnalysis::LandCover>& landCovers)
{
    const ImperviousAnalysis::Options& options = args.options;
    ImperviousAnalysis analysis(params, catalog);
    analysis.setOptions(options);
    analysis.setLandCovers(landCovers);
    analysis.setWatershedClasses(args.icm);
    analysis.setLog(out);
    analysis.setProgress([](int percent) { out(QStringLiteral("progress: %1%").arg(percent)); });
    const ImperviousAnalysis::Result result = analysis.run();
    if (!result.ok) {
        error(result.error);
        return ExitFailed;
    }
    if (options.coverage == Coverage::Centre && result.noCellTaken) {
        out(QStringLiteral("The polygons of theme %1 take no cell: each lies between cell "
                           "centres, so their areas are 0; --coverage exact counts the share of "
                           "each cell inside")
                .arg(params.analysisTheme));
    }
    return 0;
}

// The land covers of a change run with a parameter file: grid themes named by their labels,
// found before the catalogue's own.
bool addLandCovers(const AnalyzeArguments& args, DataCatalog& catalog,
                   QVector<ImperviousAnalysis::LandCover>& landCovers, QString* problem)
{
    for (const RunRequest::LandCover& given : args.landCovers) {
        auto grid = DataCatalog::gridOf(given.file, problem);
        if (!grid) {
            *problem = QStringLiteral("%1 (--land-cover): %2").arg(given.file, *problem);
            return false;
        }
        grid->name = given.label;
        catalog.grids.insert(landCovers.size(), *grid);
        landCovers.push_back({given.label, given.label});
    }
    return true;
}

// The land covers of a change run against its output: labels that name fields, files that
// the output would not replace.
QString changeProblem(const ModelParams& params, const DataCatalog& catalog,
                      const QVector<ImperviousAnalysis::LandCover>& landCovers,
                      const QString& format)
{
    QStringList labels;
    for (const ImperviousAnalysis::LandCover& landCover : landCovers) {
        labels << landCover.label;
    }
    QString problem = OutputPlan::labelProblem(labels);
    ModelParams read = params;
    for (qsizetype k = 0; problem.isEmpty() && k < landCovers.size(); ++k) {
        read.lcTheme = landCovers[k].theme;
        problem = outputConflict(read, catalog, format);
    }
    return problem;
}

// A host's check before it answers a run request: the parameters against the view, its
// themes and fields, and the output; and the land covers of a change run.
int checkParams(const ModelParams& params, const AnalyzeArguments& args)
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
    DataCatalog landCoverFiles;
    QVector<ImperviousAnalysis::LandCover> landCovers;
    if (problem.isEmpty() && addLandCovers(args, landCoverFiles, landCovers, &problem)) {
        problem = changeProblem(params, landCoverFiles, landCovers, args.options.format);
    }
    if (!problem.isEmpty()) {
        error(problem);
        return ExitFailed;
    }
    out(QStringLiteral("writes: ") + target->path);
    for (const QString& theme : HostProject::themesRead(params)) {
        out(QStringLiteral("reads: ") + theme);
    }
    for (const RunRequest::LandCover& given : args.landCovers) {
        out(QStringLiteral("reads: ") + given.file);
    }
    return 0;
}

int runParams(const AnalyzeArguments& args)
{
    QString problem;
    const auto params = ModelParams::load(args.params, &problem);
    if (!params) {
        error(problem);
        return args.check ? ExitFailed : ExitUsage;
    }
    if (args.check) {
        return checkParams(*params, args);
    }
    auto catalog = !args.data.isEmpty() ? DataCatalog::scanFolder(args.data, &problem)
                                        : DataCatalog::fromProjectFile(args.project, &problem);
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
    QVector<ImperviousAnalysis::LandCover> landCovers;
    if (!addLandCovers(args, *catalog, landCovers, &problem)) {
        error(problem);
        return ExitUsage;
    }
    return analyse(*params, *catalog, args, landCovers);
}

int runDescribed(const AnalyzeArguments& args)
{
    QString problem;
    const auto run = prepareRun(args.request, &problem);
    if (!run) {
        error(problem);
        return args.check ? ExitFailed : ExitUsage;
    }
    for (const QString& note : run->notes) {
        out(QStringLiteral("note: ") + note);
    }
    if (!args.check) {
        return analyse(run->params, run->catalog, args, run->landCovers);
    }
    const auto target = OutputTarget::resolve(run->params.outTheme, args.options.format, &problem);
    if (target && !QFileInfo(QFileInfo(target->path).absolutePath()).isDir()) {
        problem = QStringLiteral("Output folder does not exist: %1")
                      .arg(QFileInfo(target->path).absolutePath());
    } else if (target) {
        problem = outputConflict(run->params, run->catalog, args.options.format);
        if (problem.isEmpty()) {
            problem =
                changeProblem(run->params, run->catalog, run->landCovers, args.options.format);
        }
    }
    if (!problem.isEmpty()) {
        error(problem);
        return ExitFailed;
    }
    out(QStringLiteral("writes: ") + target->path);
    for (const QString& file : run->reads) {
        out(QStringLiteral("reads: ") + file);
    }
    return 0;
}

} // namespace

std::optional<AnalyzeArguments> parseAnalyzeArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QStringList valued{
        "data",        "project",       "coverage",      "format",     "threads",  "land-cover",
        "polygons",    "layer",         "field",         "set",        "store",    "coefficients",
        "coefficient", "density-layer", "density-field", "thresholds", "scenario", "units"};
    for (const QString& name : valued) {
        parser.addOption(QCommandLineOption(name, {}, QStringLiteral("VALUE")));
    }
    parser.addOption(QCommandLineOption({"o", "output"}, {}, QStringLiteral("FILE")));
    for (const char* flag : {"keep-fields", "class-areas", "icm", "check", "help"}) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag)));
    }
    if (!parser.parse(QStringList{QStringLiteral("tarn-analyze")} + arguments)) {
        return std::nullopt;
    }
    AnalyzeArguments args;
    args.help = parser.isSet("help");
    if (args.help) {
        return args;
    }
    if (parser.isSet("coverage")) {
        const auto rule = coverageByName(parser.value("coverage"));
        if (!rule) {
            return std::nullopt;
        }
        args.options.coverage = *rule;
    }
    if (parser.isSet("threads")) {
        bool ok = false;
        args.options.threads = parser.value("threads").toInt(&ok);
        if (!ok || args.options.threads < 1) {
            return std::nullopt;
        }
    }
    args.options.format = parser.value("format");
    args.options.keepFields = parser.isSet("keep-fields");
    args.options.polygonResults = false; // the output holds them
    args.options.classAreas = parser.isSet("class-areas");
    args.check = parser.isSet("check");
    args.icm = parser.isSet("icm");

    const QStringList runOptions{"land-cover",    "polygons",      "layer",        "field",
                                 "set",           "store",         "coefficients", "coefficient",
                                 "density-layer", "density-field", "thresholds",   "scenario",
                                 "units",         "output"};
    args.data = parser.value("data");
    args.project = parser.value("project");
    const QStringList positional = parser.positionalArguments();
    const bool paramsForm = !args.data.isEmpty() || !args.project.isEmpty();
    for (const QString& name : runOptions) {
        // With a parameter file, land covers make a change run.
        const bool changeOfParams = paramsForm && name == QLatin1String("land-cover");
        args.described = args.described || (parser.isSet(name) && !changeOfParams);
    }
    if (paramsForm && !args.described && parser.isSet("land-cover")) {
        for (const QString& text : parser.values("land-cover")) {
            args.landCovers << RunRequest::landCoverOf(text);
            if (args.landCovers.back().label.isEmpty()) {
                args.problem = QStringLiteral("--land-cover %1: with a parameter file, land "
                                              "covers are given as LABEL=FILE")
                                   .arg(text);
            }
        }
        if (args.landCovers.size() < 2) {
            args.problem = QStringLiteral("--land-cover with a parameter file: give two or "
                                          "more, a change run of those land covers in place "
                                          "of its LCTHEME");
        }
        if (!args.problem.isEmpty()) {
            return args;
        }
    }
    if (args.described && paramsForm) {
        args.problem = QStringLiteral("%1 says the run with a parameter file; the options of a "
                                      "run (such as --polygons) say it without one: give one "
                                      "of the two")
                           .arg(args.data.isEmpty() ? "--project" : "--data");
        return args;
    }
    if (args.described) {
        args.request = requestOf(parser);
        args.problem = describedProblem(args, positional, parser);
        return args;
    }
    if (positional.size() != 1 || args.data.isEmpty() == args.project.isEmpty()) {
        return std::nullopt;
    }
    args.params = positional.constFirst();
    return args;
}

int runAnalyzeCli(const QStringList& arguments)
{
    const auto args = parseAnalyzeArguments(arguments);
    if (args && args->help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!args) {
        std::fputs(usage, stderr);
        return ExitUsage;
    }
    if (!args->problem.isEmpty()) {
        // One line: hosts show the last line of standard error as the reason.
        error(args->problem + QStringLiteral(" (tarn-analyze --help shows how)"));
        return ExitUsage;
    }
    // The run's polygon files are listed, read and copied to the output, each opened once.
    const VectorReuse reuse;
    return args->described ? runDescribed(*args) : runParams(*args);
}
