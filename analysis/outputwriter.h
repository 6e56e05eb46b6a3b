#pragma once

#include "catalog/gdalsupport.h"
#include "catalog/outputtarget.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ogr_core.h>

#include <functional>
#include <optional>
#include <vector>

struct FeatureDeleter {
    void operator()(OGRFeature* feature) const { OGRFeature::DestroyFeature(feature); }
};
using FeaturePtr = std::unique_ptr<OGRFeature, FeatureDeleter>;

// Reads the next feature of a layer; nothing at the end. A read error ends the run: a
// feature left out silently would shift every later result to the wrong polygon.
FeaturePtr nextFeature(OGRLayer* layer, const QString& theme);
// Makes the layer's features carry only these fields and the geometry: the others are not
// parsed, which for a table of many fields is most of the reading.
void readOnlyFields(OGRLayer* layer, const std::vector<int>& fields);

struct OutputField {
    QByteArray name;
    OGRFieldType type;
    int width = 0; // for formats that store widths (the shapefile's table)
    int precision = 0;
};

// Writes the features of an output to a file, for an OutputWriter to put in place.
class FeatureFileWriter {
public:
    // Fills values[i] with the value of the result field i for the feature index.
    using Fill = std::function<void(qint64 index, double* values)>;
    virtual ~FeatureFileWriter() = default;
    // Writes file and its other parts beside it. False when this output is one it cannot
    // write: what it wrote is then of no use. Errors end the run (AnalysisError).
    virtual bool write(const QString& file, const Fill& fill) = 0;
};

// Writes the output in a work folder beside it (catalog/workfolder.h), reads it back, and
// moves it into place whole: the earlier files of that name are moved aside, the new ones
// renamed in, and on any failure the earlier ones put back. An existing GeoPackage is written
// in place in one transaction: only the output's layer is replaced. Errors end the run
// (AnalysisError).
class OutputWriter {
public:
    using Fill = FeatureFileWriter::Fill;
    // source: the analysis theme's layer, read from sourceFile, named theme in messages.
    OutputWriter(OutputTarget target, OGRLayer* source, QString sourceFile, QString theme,
                 std::vector<int> copiedFields, std::vector<OutputField> fields);
    // Copies the count features of the source with their geometry and copied fields, which
    // fill completes.
    void write(const Fill& fill, qint64 count);

private:
    OutputTarget m_target;
    OGRLayer* m_source;
    QString m_sourceFile;
    QString m_theme;
    std::vector<int> m_copiedFields;
    std::vector<OutputField> m_fields;
};
