#pragma once

#include "analysis/imperviousanalysis.h"
#include "analysis/runrequest.h"

#include <QString>
#include <QStringList>

#include <optional>

// The tarn-analyze command line. A run is given either by options that name its files,
// layers and fields, or by a parameter file with the themes of a data folder or of a host's
// project description, as the hosts give it.
struct AnalyzeArguments {
    bool help = false;
    bool check = false;
    bool icm = false; // the watershed classes
    ImperviousAnalysis::Options options;
    // The parameter file form.
    QString params;
    QString data;
    QString project;
    // With a parameter file, --land-cover LABEL=FILE twice or more: a change run of those
    // land covers in place of its LCTHEME.
    QVector<RunRequest::LandCover> landCovers;
    // The options form: described is set when any of its options is given.
    bool described = false;
    RunRequest request;
    QString problem; // why the options do not describe a run, or ""
};

// The arguments after the program's name; nothing where they fit no usage at all (the
// usage then says how), a problem where the options form misses or mixes options.
std::optional<AnalyzeArguments> parseAnalyzeArguments(const QStringList& arguments);

// Runs what the arguments (after the program's name) say, printing to standard output and
// error. Returns the exit status: 0 done, 1 the run (or its check) failed, 2 bad arguments,
// parameter file, data folder or input files.
int runAnalyzeCli(const QStringList& arguments);
