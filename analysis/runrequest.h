#pragma once

#include "analysis/imperviousanalysis.h"
#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// A run said on the command line with the user's own files, layers and fields, and the
// parameters and themes made of it: the same ModelParams and DataCatalog a parameter file
// and a data folder give. Themes are named after the user's layers (a shapefile's after its
// file), so that the analysis's own messages name them too.
struct RunRequest {
    struct Layer {
        QString file;
        QString layer; // "": the file's only or first polygon layer
    };
    struct LandCover {
        QString label; // "": the file's name without its extension
        QString file;
    };
    struct Scenario {
        Layer polygons;
        QString toClass; // a class value, or the name of a class of the coefficients
    };

    QVector<LandCover> landCovers;
    Layer polygons;
    QString field;
    QString setName;         // a set of the store
    QString store;           // "": the store the TARN programs use
    QString coefficientFile; // instead of a set: a coefficient text file
    QString coefficient;     // high, medium or low; "" for a run by population density
    Layer density;
    QString densityField;
    QString thresholds; // "LOW,HIGH"
    QVector<Scenario> scenarios;
    QString units; // meters or feet; "": the land cover's
    QString output;

    // "FILE[:LAYER]": the whole text where it names an existing file, else split at the
    // last colon.
    static Layer layerOf(const QString& text);
    // "[LABEL=]FILE": the whole text where it names an existing file, else split at the
    // first equals sign.
    static LandCover landCoverOf(const QString& text);
    // "FILE[:LAYER]=CLASS", split at the last equals sign; nothing without one.
    static std::optional<Scenario> scenarioOf(const QString& text);
};

struct PreparedRun {
    ModelParams params;
    DataCatalog catalog;
    QStringList notes; // which layer of a file is read, where the coefficients come from
    QStringList reads; // the files the run reads, with their layers
    // Two or more: a change run of these land covers (the first is also the params' LCTHEME).
    QVector<ImperviousAnalysis::LandCover> landCovers;
};

// Opens every file the request names and makes its parameters and themes. Nothing, with
// *error naming the user's file, layer or field, when the request does not describe a run.
std::optional<PreparedRun> prepareRun(const RunRequest& request, QString* error);
