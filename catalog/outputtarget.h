#pragma once

#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QString>
#include <QStringList>

#include <optional>

// Where and in which format the output goes. The format follows the name's extension
// (.shp, .gpkg, .geojson, .fgb, .csv) or a GDAL vector driver named outright; a name with
// neither gets ".shp", as the launcher has always written it.
struct OutputTarget {
    QString path;   // absolute
    QString driver; // GDAL driver name

    static std::optional<OutputTarget> resolve(const QString& outTheme, const QString& format,
                                               QString* error);
    bool shapefile() const { return driver == QLatin1String("ESRI Shapefile"); }
    bool attributesOnly() const { return driver == QLatin1String("CSV"); }
    // The files the output consists of or replaces: for a shapefile every part.
    QStringList files() const;
    QString layerName() const;
};

// The parts of a shapefile, indexes an earlier set may have included.
QStringList shapefileParts(const QString& shpPath);

// Why the output would replace a file of a theme the run reads, or "" when it would not.
QString outputConflict(const ModelParams& params, const DataCatalog& catalog,
                       const QString& format = {});
