#pragma once

#include "analysis/accumulation.h"
#include "analysis/outputwriter.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

// What the output holds: each feature of the analysis theme with its identifying field (or
// every field), then the result fields (LC_AREA, IS_AREA, IS_PCT, NODATA_CT, UNK_CT) and the
// class areas, from the polygons' sums.
class OutputPlan {
public:
    // Whether a field of that name is one the analysis adds.
    static bool isResultField(const QString& name);
    // The class area field (of --class-areas) a field of that name would clash with, as the
    // user knows it ("the area field of class 22"), or nothing.
    static std::optional<QString> classFieldOf(const QString& name, const ModelParams& params);

    // classFields: (sum slot, name) of the class area fields; none without class areas.
    OutputPlan(const DataCatalog::Source& source, const ModelParams& params, bool keepFields,
               std::vector<std::pair<int, QByteArray>> classFields, const LogFunction& log);
    // Writes the output; waitFor(n) returns once polygon n's sums are complete.
    void write(const OutputTarget& target, const PolygonSums& sums, qint64 count,
               const std::function<void(qint64)>& waitFor);

private:
    QString m_sourcePath;
    QString m_theme;
    GdalDatasetPtr m_sourceData;
    OGRLayer* m_source = nullptr;
    std::vector<int> m_copied;
    std::vector<OutputField> m_fields;
    std::vector<std::pair<int, QByteArray>> m_classes;
};
