#pragma once

#include "analysis/accumulation.h"
#include "analysis/outputwriter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

// What the output holds: each feature of the analysis theme with its identifying field (or
// every field), then the result fields (LC_AREA, IS_AREA, IS_PCT, NODATA_CT, UNK_CT, with the
// watershed classes ICM_CLASS) and the class areas, from the polygons' sums. A change run of
// several land covers has those fields once per land cover, named by its label (LCA_2016,
// ISA_2016, ISP_2016, NOD_2016, UNK_2016, ICM_2016), then the change from the first to the
// last: IS_CHG (impervious area) and IS_CHG_PCT (percentage points).
class OutputPlan {
public:
    // Longest label of a land cover in a change run: the prefixes take four characters of
    // the ten a shapefile's field name has.
    static constexpr int MaxLabelLength = 6;
    // Why labels cannot name fields (empty when they can): each 1 to MaxLabelLength letters,
    // digits or underscores, no two alike in any letter case.
    static QString labelProblem(const QStringList& labels);
    // Whether a field of that name is one the analysis adds (labels: of a change run; icm:
    // with the watershed classes).
    static bool isResultField(const QString& name, const QStringList& labels = {},
                              bool icm = false);
    // The impervious cover model's class of a polygon (1 sensitive, 2 impacted,
    // 3 non-supporting, 4 urban drainage; 0 without land cover), by its IS_PCT as written.
    static int watershedClass(double isPct, double lcArea);
    // The class area field (of --class-areas) a field of that name would clash with, as the
    // user knows it ("the area field of class 22"), or nothing.
    static std::optional<QString> classFieldOf(const QString& name, const ModelParams& params);

    // classFields: (sum slot, name) of the class area fields; none without class areas.
    // labels: one per land cover of a change run, none for one land cover; icm: add the
    // watershed classes.
    OutputPlan(const DataCatalog::Source& source, const ModelParams& params, bool keepFields,
               std::vector<std::pair<int, QByteArray>> classFields, QStringList labels, bool icm,
               const LogFunction& log);
    // Writes the output from the sums of each land cover (in the labels' order; one without
    // labels); waitFor(n) returns once polygon n's sums are complete.
    void write(const OutputTarget& target, const std::vector<const PolygonSums*>& sums,
               qint64 count, const std::function<void(qint64)>& waitFor);

private:
    QString m_sourcePath;
    QString m_theme;
    GdalDatasetPtr m_sourceData;
    OGRLayer* m_source = nullptr;
    std::vector<int> m_copied;
    std::vector<OutputField> m_fields;
    std::vector<std::pair<int, QByteArray>> m_classes;
    QStringList m_labels;
    bool m_icm = false;
};
