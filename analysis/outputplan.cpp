#include "analysis/outputplan.h"

#include <algorithm>

namespace {

// The fields the analysis adds to each output feature, in this order. Areas keep one decimal
// (tenths of a square unit) in 19 characters, up to 10^17 square units: QGIS's attribute table
// shows a shapefile's real field with all its decimals in a column about 9 characters wide, so
// with 6 decimals any area over 100 was cut ("325,800.…"); with one, areas below 10^6 show whole.
struct ResultField {
    OutputField field;
    double (*value)(const PolygonResult&);
};
const ResultField resultFields[] = {
    {{"LC_AREA", OFTReal, 19, 1}, [](const PolygonResult& r) { return r.lcArea; }},
    {{"IS_AREA", OFTReal, 19, 1}, [](const PolygonResult& r) { return r.isArea; }},
    {{"IS_PCT", OFTReal, 12, 6}, [](const PolygonResult& r) { return r.isPct; }},
    {{"NODATA_CT", OFTInteger64, 18, 0}, [](const PolygonResult& r) { return double(r.noData); }},
    {{"UNK_CT", OFTInteger64, 18, 0}, [](const PolygonResult& r) { return double(r.unknown); }},
};

} // namespace

bool OutputPlan::isResultField(const QString& name)
{
    for (const ResultField& f : resultFields) {
        if (name.compare(QLatin1String(f.field.name), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<QString> OutputPlan::classFieldOf(const QString& name, const ModelParams& params)
{
    const auto same = [&](const QByteArray& field) {
        return name.compare(QLatin1String(field), Qt::CaseInsensitive) == 0;
    };
    if (same(classFieldName(std::nullopt))) {
        return QStringLiteral("the area field of the classes without a CLASS line");
    }
    for (const ModelParams::LCClass& c : params.classes) {
        if (same(classFieldName(c.id))) {
            return QStringLiteral("the area field of class %1").arg(c.id);
        }
    }
    return std::nullopt;
}

OutputPlan::OutputPlan(const DataCatalog::Source& source, const ModelParams& params,
                       bool keepFields, std::vector<std::pair<int, QByteArray>> classFields,
                       const LogFunction& log)
    : m_sourcePath(source.path), m_theme(params.analysisTheme), m_classes(std::move(classFields))
{
    m_source = openLayer(source, m_sourceData, m_theme);
    const int unitField = fieldIndex(m_source, params.analysisUnit, m_theme);
    for (const ResultField& f : resultFields) {
        m_fields.push_back(f.field);
    }
    for (const auto& [slot, name] : m_classes) {
        m_fields.push_back({name, OFTReal, 19, 1});
    }
    m_copied = {unitField};
    if (!keepFields) {
        return;
    }
    m_copied.clear();
    OGRFeatureDefn* defn = m_source->GetLayerDefn();
    for (int i = 0; i < defn->GetFieldCount(); ++i) {
        const QString name = QString::fromUtf8(defn->GetFieldDefn(i)->GetNameRef());
        const bool taken = std::any_of(m_fields.begin(), m_fields.end(), [&](const OutputField& f) {
            return name.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0;
        });
        if (!taken) {
            m_copied.push_back(i);
        } else if (log) {
            log(QStringLiteral("Field %1 of theme %2 is left out: the output has a field of that "
                               "name")
                    .arg(name, m_theme));
        }
    }
}

void OutputPlan::write(const OutputTarget& target, const PolygonSums& sums, qint64 count,
                       const std::function<void(qint64)>& waitFor)
{
    OutputWriter writer(target, m_source, m_sourcePath, m_theme, m_copied, m_fields);
    writer.write(
        [&](qint64 n, double* values) {
            waitFor(n);
            const PolygonResult r = sums.result(size_t(n));
            for (const ResultField& f : resultFields) {
                *values++ = f.value(r);
            }
            for (const auto& [slot, name] : m_classes) {
                *values++ = sums.slotArea(size_t(n), slot);
            }
        },
        count);
}
