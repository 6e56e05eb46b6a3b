#include "launcher/paramchecks.h"

#include "base/numbertext.h"

QString outputWithShpSuffix(const QString& text)
{
    QString out = text.trimmed();
    if (!out.isEmpty() && out.right(3).toLower() != QLatin1String("shp")) {
        out += out.endsWith(QLatin1Char('.')) ? QStringLiteral("shp") : QStringLiteral(".shp");
    }
    return out;
}

QString themeNameFromPath(const QString& path)
{
    QString name = path;
    if (name.endsWith(QLatin1String(".shp"))) {
        name.chop(4);
    }
    const int cut = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    return name.mid(cut + 1);
}

bool SetThemeNameFromPath(const QString& last, const QString& current, QString& themeName)
{
    if (current == last) {
        return false;
    }
    themeName = themeNameFromPath(current);
    return true;
}

DensityCheck checkDensityThresholds(const QString& high, const QString& low)
{
    double highValue = 0;
    double lowValue = 0;
    if (!parseDecimal(high, &highValue)) {
        return DensityCheck::HighNotNumber;
    }
    if (!parseDecimal(low, &lowValue)) {
        return DensityCheck::LowNotNumber;
    }
    return highValue < lowValue ? DensityCheck::LowAboveHigh : DensityCheck::Ok;
}
