#pragma once

#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>
#include <utility>

// The themes of a view and the files that hold them: built from a folder of GIS files, or
// read from the "files" entries of a host project description.
struct DataCatalog {
    struct Source {
        QString path;
        QString layer; // empty: the file's first layer
    };
    struct Field {
        QString name;
        QString type; // "string", "integer" or "double"
    };
    struct PolygonTheme {
        QString name;
        Source source;
        QVector<Field> fields;
    };
    struct GridTheme {
        QString name;
        Source source;
        QString units; // "Meters", "Feet", "Degrees" or "" when unknown
    };

    QVector<GridTheme> grids;
    QVector<PolygonTheme> polygons;
    QStringList notes; // files and layers left out, and why
    // Why the file or layer a theme of that name would come from was left out (by file stem,
    // or by layer name).
    QMap<QString, QString> leftOut;

    const GridTheme* findGrid(const QString& name) const;
    const PolygonTheme* findPolygon(const QString& name) const;
    // The linear unit of the first grid that has one; "Meters" when none has, also where
    // grids are in degrees, whose cells the analysis measures in square metres.
    QString mapUnits() const;

    // Each single-band integer raster is a grid theme named by its file stem; each polygon
    // layer (a shapefile by its stem, a GeoPackage or GeoJSON file by its layer names) a
    // polygon theme, also a layer of generic geometry type that holds polygons only. Fields of
    // other types than string, integer and real are left out. Nothing, with *error, when the folder
    // does not exist.
    static std::optional<DataCatalog> scanFolder(const QString& dir, QString* error);

    // A single-band integer raster as a grid theme named by its file stem; nothing, with
    // *why (without the file name), when the file is not one.
    static std::optional<GridTheme> gridOf(const QString& path, QString* why);
    // The polygon layers of a vector file in file order, named as scanFolder names them,
    // with their fields; layers of generic geometry type that hold other geometries go to
    // *leftOut as (name, reason). Nothing, with *why, when the file is no vector data.
    static std::optional<QVector<PolygonTheme>>
    polygonLayersOf(const QString& path, QVector<std::pair<QString, QString>>* leftOut,
                    QString* why);

    // The "files" object of a project description: theme name -> path, or -> {"path": ...,
    // "layer": ...}; relative paths are taken from the project file's folder. The entries
    // serve grid and polygon themes alike; kinds and fields come from the description.
    static std::optional<DataCatalog> fromProjectFile(const QString& path, QString* error);

private:
    void leaveOut(const QFileInfo& file, const QString& why);
};
