#pragma once

#include <QString>

// Rules of the launcher's choices that need no window: the output path and theme name, the
// density thresholds.

// The output box's text once it loses the focus: blanks stripped, and ".shp" (or "shp"
// after a final ".") added unless the last three characters already read "shp" in any case.
QString outputWithShpSuffix(const QString& text);

// The theme name for an output path: less a final ".shp" (lower case only), less everything
// up to the last "/" or "\".
QString themeNameFromPath(const QString& path);

// Gives themeName the name of current when current differs from last; otherwise leaves it,
// so a name the user typed survives until the path changes. True when it was set.
bool SetThemeNameFromPath(const QString& last, const QString& current, QString& themeName);

// Steps 3 to 5 of the density check on the threshold texts.
enum class DensityCheck { Ok, HighNotNumber, LowNotNumber, LowAboveHigh };
DensityCheck checkDensityThresholds(const QString& high, const QString& low);
