#pragma once

#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What tarnhost knows about the host's project: one view with its themes and fields.
struct HostProject {
    // A theme's field, as the data catalogue reads it from the file.
    using Field = DataCatalog::Field;
    struct Theme {
        QString name;
        QList<Field> fields;
    };

    QString viewName;
    QString workDir; // absolute
    QString mapUnits;
    QStringList gridThemes;
    QList<Theme> polygonThemes;
    // List answers longer than this many characters go through a temporary list file.
    int listFileThreshold = 255;

    // Where the themes' data lie, and how tarn-analyze is told so ("--data DIR" or
    // "--project FILE"). A project description without "files" has none: its runs are
    // checked but not carried out.
    DataCatalog data;
    QStringList analysisArguments;

    const Theme* findPolygonTheme(const QString& name) const;

    // Selector 2: string and integer fields; 1: numeric fields; 0: every field.
    static bool fieldMatches(const Field& field, int selector);
    // The themes a run of these parameters reads: land cover, analysis, density, scenarios.
    static QStringList themesRead(const ModelParams& params);
    // The first reason the parameters do not fit this project, or "": the view, the themes
    // and their fields exist and are of the right kind; with `willRun`, the output folder too.
    // The one check before a run, for tarnhost and tarn-analyze --check alike.
    QString checkRun(const ModelParams& params, bool willRun,
                     const QString& format = QString()) const;

    // Reads a project description (JSON). `$TEMP` at the start of the working directory stands
    // for the temporary folder; a relative one is taken from the project file's folder.
    // On failure: nothing, and *error names the problem (without the file name).
    static std::optional<HostProject> parse(const QByteArray& json, const QString& baseDir,
                                            QString* error);
    // As parse(), with the "files" of the description as data; *error begins with the path.
    static std::optional<HostProject> load(const QString& path, QString* error);

    // A view of the data in a folder: every grid and polygon theme of the catalogue, the map
    // units of its first grid, the folder (or workDir when given) as working directory.
    static std::optional<HostProject> fromDataFolder(const QString& dir, const QString& workDir,
                                                     QString* error);
};
