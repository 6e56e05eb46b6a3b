#include "model/modelparams.h"

#include "base/numbertext.h"
#include "base/textcodec.h"
#include "model/clsismodelproperties.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <limits>

namespace {

const QStringList singleKeys{"VIEW",           "LCTHEME",       "LCUNITS",         "ANALYSISTHEME",
                             "ANALYSISUNIT",   "POPDENSITY",    "POPDENSITYTHEME", "POPDENSITYFLD",
                             "POPDENSITYHIGH", "POPDENSITYMED", "POPDENSITYLOW",   "OUTTHEME",
                             "OUTTHEMENAME"};
const QStringList densityKeys{"POPDENSITYTHEME", "POPDENSITYFLD", "POPDENSITYHIGH", "POPDENSITYMED",
                              "POPDENSITYLOW"};
const QStringList requiredKeys{"VIEW",         "LCTHEME",    "LCUNITS",  "ANALYSISTHEME",
                               "ANALYSISUNIT", "POPDENSITY", "OUTTHEME", "OUTTHEMENAME"};
// Values naming a theme, field or file: an empty one cannot be what the launcher chose.
const QStringList nonEmptyKeys{"VIEW",         "LCTHEME",         "ANALYSISTHEME",
                               "ANALYSISUNIT", "POPDENSITYTHEME", "POPDENSITYFLD",
                               "OUTTHEME"};

// A whole number in the form the launcher writes it: optional "-", digits.
bool parseWhole(const QString& text, qint32* value)
{
    static const QRegularExpression form(QStringLiteral("^-?[0-9]{1,10}$"));
    if (!form.match(text).hasMatch()) {
        return false;
    }
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok);
    if (!ok || v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max()) {
        return false;
    }
    *value = static_cast<qint32>(v);
    return true;
}

// Reads one line's value into params; the reason when it is not a valid one.
QString readValue(ModelParams& params, const QString& key, const QString& value,
                  const QStringList& parts)
{
    const auto fail = [](const QString& why) { return why; };
    if (key == QLatin1String("VIEW")) {
        params.view = value;
    } else if (key == QLatin1String("LCTHEME")) {
        params.lcTheme = value;
    } else if (key == QLatin1String("LCUNITS")) {
        if (value.compare(QLatin1String("Meters"), Qt::CaseInsensitive) == 0) {
            params.lcUnits = ModelParams::Units::Meters;
        } else if (value.compare(QLatin1String("Feet"), Qt::CaseInsensitive) == 0) {
            params.lcUnits = ModelParams::Units::Feet;
        } else {
            return fail(QStringLiteral("LCUNITS must be Meters or Feet"));
        }
    } else if (key == QLatin1String("ANALYSISTHEME")) {
        params.analysisTheme = value;
    } else if (key == QLatin1String("ANALYSISUNIT")) {
        params.analysisUnit = value;
    } else if (key == QLatin1String("POPDENSITY")) {
        qint32 option = -1;
        if (!parseWhole(value, &option) || option < 0 || option > 3) {
            return fail(QStringLiteral("POPDENSITY must be 0, 1, 2 or 3"));
        }
        params.popDensity = option;
    } else if (key == QLatin1String("POPDENSITYTHEME")) {
        params.popDensityTheme = value;
    } else if (key == QLatin1String("POPDENSITYFLD")) {
        params.popDensityField = value;
    } else if (key == QLatin1String("POPDENSITYHIGH")) {
        if (!parseDecimal(value, &params.popDensityHigh)) {
            return fail(QStringLiteral("POPDENSITYHIGH is not a number"));
        }
        params.popDensityHighText = value;
    } else if (key == QLatin1String("POPDENSITYMED")) {
        double ignored = 0;
        if (parts.size() != 2 || !parseDecimal(parts[0], &ignored) ||
            !parseDecimal(parts[1], &ignored)) {
            return fail(QStringLiteral("POPDENSITYMED must be two numbers"));
        }
        params.popDensityMedText[0] = parts[0];
        params.popDensityMedText[1] = parts[1];
    } else if (key == QLatin1String("POPDENSITYLOW")) {
        if (!parseDecimal(value, &params.popDensityLow)) {
            return fail(QStringLiteral("POPDENSITYLOW is not a number"));
        }
        params.popDensityLowText = value;
    } else if (key == QLatin1String("OUTTHEME")) {
        params.outTheme = value;
    } else if (key == QLatin1String("OUTTHEMENAME")) {
        params.outThemeName = value;
    } else if (key == QLatin1String("DS")) {
        // Theme names cannot hold "#"; a class name may, so it takes what lies between.
        ModelParams::Scenario ds;
        if (parts.size() < 4) {
            return fail(QStringLiteral("DS needs number, theme, class name and class value"));
        }
        if (!parseWhole(parts.first(), &ds.number) || ds.number < 1) {
            return fail(QStringLiteral("DS number must be a whole number from 1"));
        }
        ds.theme = parts[1];
        if (ds.theme.trimmed().isEmpty()) {
            return fail(QStringLiteral("DS theme is empty"));
        }
        ds.className = parts.mid(2, parts.size() - 3).join(QLatin1Char('#'));
        if (!parseWhole(parts.last(), &ds.classId)) {
            return fail(QStringLiteral("DS class value must be a whole number"));
        }
        params.scenarios << ds;
    } else if (key == QLatin1String("CLASS")) {
        ModelParams::LCClass cls;
        if (parts.size() < 5) {
            return fail(QStringLiteral("CLASS needs value, name, High, Medium and Low"));
        }
        if (!parseWhole(parts.first(), &cls.id)) {
            return fail(QStringLiteral("CLASS value must be a whole number"));
        }
        cls.name = parts.mid(1, parts.size() - 4).join(QLatin1Char('#'));
        const qsizetype n = parts.size();
        if (!parseCoefficient(parts[n - 3], &cls.high) ||
            !parseCoefficient(parts[n - 2], &cls.medium) ||
            !parseCoefficient(parts[n - 1], &cls.low)) {
            return fail(
                QStringLiteral("CLASS %1: a coefficient is not a number").arg(parts.first()));
        }
        for (const float c : {cls.high, cls.medium, cls.low}) {
            if (!(c >= 0 && c <= 100)) {
                return fail(QStringLiteral("CLASS %1: a coefficient is outside 0 to 100")
                                .arg(parts.first()));
            }
        }
        params.classes << cls;
    } else {
        return fail(QStringLiteral("unknown key %1").arg(key));
    }
    return QString();
}

} // namespace

const QString ModelParams::FileName = QStringLiteral("model_params.txt");

bool ModelParams::Scenario::operator==(const Scenario& o) const
{
    return number == o.number && theme == o.theme && className == o.className &&
           classId == o.classId;
}

bool ModelParams::LCClass::operator==(const LCClass& o) const
{
    return id == o.id && name == o.name && high == o.high && medium == o.medium && low == o.low;
}

bool ModelParams::operator==(const ModelParams& o) const
{
    return view == o.view && lcTheme == o.lcTheme && lcUnits == o.lcUnits &&
           analysisTheme == o.analysisTheme && analysisUnit == o.analysisUnit &&
           popDensity == o.popDensity && popDensityTheme == o.popDensityTheme &&
           popDensityField == o.popDensityField && popDensityHighText == o.popDensityHighText &&
           popDensityMedText[0] == o.popDensityMedText[0] &&
           popDensityMedText[1] == o.popDensityMedText[1] &&
           popDensityLowText == o.popDensityLowText && popDensityHigh == o.popDensityHigh &&
           popDensityLow == o.popDensityLow && outTheme == o.outTheme &&
           outThemeName == o.outThemeName && scenarios == o.scenarios && classes == o.classes;
}

QString ModelParams::unitsText(Units units)
{
    return units == Units::Feet ? QStringLiteral("Feet") : QStringLiteral("Meters");
}

double ModelParams::metresPerUnit(Units units)
{
    return units == Units::Feet ? 0.3048 : 1.0;
}

std::optional<ModelParams> ModelParams::parse(const QByteArray& bytes, QString* error)
{
    ModelParams params;
    QSet<QString> seen;
    int densityLine = 0;
    const QStringList lines = splitLines(decodeText(bytes));

    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const int number = i + 1;
        const auto fail = [&](const QString& why) {
            *error = QStringLiteral("line %1: %2").arg(number).arg(why);
            return std::nullopt;
        };
        if (line.isEmpty()) {
            continue;
        }
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash < 0) {
            return fail(QStringLiteral("no key (a key ends in \"#\")"));
        }
        const QString key = line.left(hash);
        const QString value = line.mid(hash + 1);
        // A NUL or other control character has no place in a name or number, and would cut
        // a path short where it reaches the system.
        if (std::any_of(value.begin(), value.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; })) {
            return fail(QStringLiteral("%1 holds a control character").arg(key));
        }
        const QStringList parts = value.split(QLatin1Char('#'));

        if (singleKeys.contains(key)) {
            if (seen.contains(key)) {
                return fail(QStringLiteral("%1 appears twice").arg(key));
            }
            seen.insert(key);
            if (nonEmptyKeys.contains(key) && value.trimmed().isEmpty()) {
                return fail(QStringLiteral("%1 is empty").arg(key));
            }
        }

        if (densityKeys.contains(key)) {
            densityLine = number;
        }
        const QString problem = readValue(params, key, value, parts);
        if (!problem.isEmpty()) {
            return fail(problem);
        }
    }

    const auto fail = [&](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    for (const QString& key : requiredKeys) {
        if (!seen.contains(key)) {
            return fail(QStringLiteral("%1 is missing").arg(key));
        }
    }
    if (params.popDensity == Calculate) {
        for (const QString& key : densityKeys) {
            if (!seen.contains(key)) {
                return fail(QStringLiteral("%1 is missing (POPDENSITY is 3)").arg(key));
            }
        }
        if (params.popDensityHigh < params.popDensityLow) {
            return fail(
                QStringLiteral("line %1: POPDENSITYLOW %2 is above POPDENSITYHIGH %3")
                    .arg(densityLine)
                    .arg(params.popDensityLowText.trimmed(), params.popDensityHighText.trimmed()));
        }
    } else {
        for (const QString& key : densityKeys) {
            if (seen.contains(key)) {
                return fail(QStringLiteral("%1 is given but POPDENSITY is not 3").arg(key));
            }
        }
    }
    if (params.classes.isEmpty()) {
        return fail(QStringLiteral("no CLASS line"));
    }
    return params;
}

std::optional<ModelParams> ModelParams::load(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        *error = QStringLiteral("Parameter file not found: %1").arg(path);
        return std::nullopt;
    }
    // Checked before reading: the file is read whole, and a real one has a few kilobytes.
    constexpr qint64 MaxBytes = 4 * 1024 * 1024;
    if (info.size() > MaxBytes) {
        *error = QStringLiteral("%1: the file has %2 bytes, more than the %3 a parameter file "
                                "may have")
                     .arg(info.fileName())
                     .arg(info.size())
                     .arg(MaxBytes);
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("Parameter file cannot be read: %1 (%2)").arg(path, file.errorString());
        return std::nullopt;
    }
    QString problem;
    auto params = parse(file.readAll(), &problem);
    if (!params) {
        *error = QStringLiteral("%1: %2").arg(info.fileName(), problem);
        return params;
    }
    // A bare name lands beside the parameter file, in the project's working directory.
    if (QFileInfo(params->outTheme).isRelative()) {
        params->outTheme = info.absoluteDir().filePath(params->outTheme);
    }
    return params;
}

QByteArray ModelParams::toBytes() const
{
    QStringList lines;
    const auto line = [&lines](const QString& key, const QStringList& values) {
        lines << key + QLatin1Char('#') + values.join(QLatin1Char('#'));
    };
    line(QStringLiteral("VIEW"), {view});
    line(QStringLiteral("LCTHEME"), {lcTheme});
    line(QStringLiteral("LCUNITS"), {unitsText(lcUnits)});
    line(QStringLiteral("ANALYSISTHEME"), {analysisTheme});
    line(QStringLiteral("ANALYSISUNIT"), {analysisUnit});
    line(QStringLiteral("POPDENSITY"), {QString::number(popDensity)});
    if (popDensity == Calculate) {
        line(QStringLiteral("POPDENSITYTHEME"), {popDensityTheme});
        line(QStringLiteral("POPDENSITYFLD"), {popDensityField});
        line(QStringLiteral("POPDENSITYHIGH"), {popDensityHighText});
        line(QStringLiteral("POPDENSITYMED"), {popDensityMedText[0], popDensityMedText[1]});
        line(QStringLiteral("POPDENSITYLOW"), {popDensityLowText});
    }
    line(QStringLiteral("OUTTHEME"), {outTheme});
    line(QStringLiteral("OUTTHEMENAME"), {outThemeName});
    for (const Scenario& ds : scenarios) {
        line(QStringLiteral("DS"),
             {QString::number(ds.number), ds.theme, ds.className, formatClassValue(ds.classId)});
    }
    for (const LCClass& cls : classes) {
        line(QStringLiteral("CLASS"),
             {formatClassValue(cls.id), cls.name, formatCoefficient(cls.high),
              formatCoefficient(cls.medium), formatCoefficient(cls.low)});
    }
    QByteArray bytes;
    for (const QString& text : lines) {
        bytes += text.toUtf8();
        bytes += "\r\n";
    }
    return bytes;
}

QVector<ModelParams::LCClass> ModelParams::classesOf(const clsISModelProperties& model,
                                                     const QString& lcType)
{
    QVector<LCClass> classes;
    for (const ISLCDefPtr& set : *model.ISLCDefs) {
        if (set->LCType != lcType) {
            continue;
        }
        for (const LCClassPtr& cls : *set->LCClasses) {
            classes << LCClass{cls->ID, cls->LCName, cls->LCHigh, cls->LCMed, cls->LCLow};
        }
    }
    return classes;
}
