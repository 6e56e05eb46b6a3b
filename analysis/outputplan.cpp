#include "analysis/outputplan.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

// The fields the analysis adds to each output feature, in this order; in a change run the
// same per land cover, by their short names and a label. Areas keep one decimal
// (tenths of a square unit) in 19 characters, up to 10^17 square units: QGIS's attribute table
// shows a shapefile's real field with all its decimals in a column about 9 characters wide, so
// with 6 decimals any area over 100 was cut ("325,800.…"); with one, areas below 10^6 show whole.
struct ResultField {
    OutputField field;
    const char* prefix; // of the change run's name
    double (*value)(const PolygonResult&);
};
const ResultField resultFields[] = {
    {{"LC_AREA", OFTReal, 19, 1}, "LCA_", [](const PolygonResult& r) { return r.lcArea; }},
    {{"IS_AREA", OFTReal, 19, 1}, "ISA_", [](const PolygonResult& r) { return r.isArea; }},
    {{"IS_PCT", OFTReal, 12, 6}, "ISP_", [](const PolygonResult& r) { return r.isPct; }},
    {{"NODATA_CT", OFTInteger64, 18, 0},
     "NOD_",
     [](const PolygonResult& r) { return double(r.noData); }},
    {{"UNK_CT", OFTInteger64, 18, 0},
     "UNK_",
     [](const PolygonResult& r) { return double(r.unknown); }},
};
const OutputField watershedField{"ICM_CLASS", OFTInteger, 1, 0};
const char watershedPrefix[] = "ICM_";
const OutputField changeFields[] = {{"IS_CHG", OFTReal, 19, 1}, {"IS_CHG_PCT", OFTReal, 12, 6}};

// The result fields of a run, in order.
std::vector<OutputField> resultFieldsOf(const QStringList& labels, bool icm)
{
    std::vector<OutputField> fields;
    if (labels.isEmpty()) {
        for (const ResultField& f : resultFields) {
            fields.push_back(f.field);
        }
        if (icm) {
            fields.push_back(watershedField);
        }
        return fields;
    }
    for (const QString& label : labels) {
        const QByteArray suffix = label.toLatin1();
        for (const ResultField& f : resultFields) {
            fields.push_back({f.prefix + suffix, f.field.type, f.field.width, f.field.precision});
        }
        if (icm) {
            fields.push_back({watershedPrefix + suffix, watershedField.type, watershedField.width,
                              watershedField.precision});
        }
    }
    fields.insert(fields.end(), std::begin(changeFields), std::end(changeFields));
    return fields;
}

} // namespace

QString OutputPlan::labelProblem(const QStringList& labels)
{
    static const QRegularExpression form(
        QStringLiteral("^[A-Za-z0-9_]{1,%1}$").arg(MaxLabelLength));
    QStringList seen;
    for (const QString& label : labels) {
        if (!form.match(label).hasMatch()) {
            return QStringLiteral("Land cover label \"%1\" cannot name output fields: a label "
                                  "has 1 to %2 letters, digits or underscores")
                .arg(label)
                .arg(MaxLabelLength);
        }
        if (seen.contains(label, Qt::CaseInsensitive)) {
            return QStringLiteral("Land cover label \"%1\" is given twice (letter case aside)")
                .arg(label);
        }
        seen << label;
    }
    return {};
}

bool OutputPlan::isResultField(const QString& name, const QStringList& labels, bool icm)
{
    for (const OutputField& f : resultFieldsOf(labels, icm)) {
        if (name.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0) {
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

int OutputPlan::watershedClass(double isPct, double lcArea)
{
    if (!(lcArea > 0)) {
        return 0;
    }
    // The class of the percentage the table shows, so that 10.0000001 computed for a tenth
    // does not fall into the next class.
    const double pct = std::round(isPct * 1e6) / 1e6;
    return pct <= 10 ? 1 : pct <= 25 ? 2 : pct <= 60 ? 3 : 4;
}

OutputPlan::OutputPlan(const DataCatalog::Source& source, const ModelParams& params,
                       bool keepFields, std::vector<std::pair<int, QByteArray>> classFields,
                       QStringList labels, bool icm, const LogFunction& log)
    : m_sourcePath(source.path), m_theme(params.analysisTheme), m_classes(std::move(classFields)),
      m_labels(std::move(labels)), m_icm(icm)
{
    m_source = openLayer(source, m_sourceData, m_theme);
    const int unitField = fieldIndex(m_source, params.analysisUnit, m_theme);
    m_fields = resultFieldsOf(m_labels, m_icm);
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

void OutputPlan::write(const OutputTarget& target, const std::vector<const PolygonSums*>& sums,
                       qint64 count, const std::function<void(qint64)>& waitFor)
{
    OutputWriter writer(target, m_source, m_sourcePath, m_theme, m_copied, m_fields);
    std::vector<PolygonResult> results(sums.size());
    writer.write(
        [&](qint64 n, double* values) {
            waitFor(n);
            for (size_t k = 0; k < sums.size(); ++k) {
                const PolygonResult& r = results[k] = sums[k]->result(size_t(n));
                for (const ResultField& f : resultFields) {
                    *values++ = f.value(r);
                }
                if (m_icm) {
                    *values++ = watershedClass(r.isPct, r.lcArea);
                }
            }
            if (!m_labels.isEmpty()) {
                *values++ = results.back().isArea - results.front().isArea;
                *values++ = results.back().isPct - results.front().isPct;
            }
            for (const auto& [slot, name] : m_classes) {
                *values++ = sums.front()->slotArea(size_t(n), slot);
            }
        },
        count);
}
