#pragma once

#include "modelparams.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class ClientLink;
class Prompts;

// The launcher's procedures that need no window: host queries, the parameter file, the
// output path rules and the scenario row arithmetic.

// ---- Output shapefile and theme name -------------------------------------------------------

// The output box's text once it loses the focus: blanks stripped, and ".shp" (or "shp"
// after a final ".") added unless the last three characters already read "shp" in any case.
QString outputWithShpSuffix(const QString& text);

// The theme name for an output path: less a final ".shp" (lower case only), less everything
// up to the last "/" or "\".
QString themeNameFromPath(const QString& path);

// Gives themeName the name of current when current differs from last; otherwise leaves it,
// so a name the user typed survives until the path changes. True when it was set.
bool SetThemeNameFromPath(const QString& last, const QString& current, QString& themeName);

// ---- Scenario rows ------------------------------------------------------------------------

// Positions and sizes of the scenario rows, in twips.
namespace ScenarioLayout {
constexpr int RowStep = 350;
constexpr int NumberTop = 100;
constexpr int ContainerHeight = 2200;
constexpr int ScrollTop = 100;
constexpr int ScrollHeight = 2100;
constexpr int LargeChange = 700;
constexpr int SmallChange = 350;
} // namespace ScenarioLayout

// Height of the frame holding rows 0 to last: one row gives 450.
int ScenarioItemsHeight(int lastIndex);

// The scroll bar for a given items height: hidden while every row fits.
struct ScenarioScroll {
    bool visible = false;
    int maximum = 0; // twips
    int largeChange = ScenarioLayout::LargeChange;
    int smallChange = ScenarioLayout::SmallChange;
};
ScenarioScroll scenarioScrollFor(int itemsHeight);

// What a row shows that a deletion moves up: its tick and the selected list positions.
struct ScenarioRowState {
    bool ticked = true;
    int theme = -1;
    int toClass = -1;
};

// Removes row index from rows: each row below moves up one place; the last goes.
void deleteScenarioRowState(QVector<ScenarioRowState>& rows, int index);

// The answer to "Enter number of scenario to delete:" as a row index. False for text that is
// not a whole number in 1..rowCount (the caller shows "Invalid scenario number").
bool scenarioIndexFromAnswer(const QString& answer, int rowCount, int* index);

// ---- Population density -------------------------------------------------------------------

// Steps 3 to 5 of the density check on the threshold texts.
enum class DensityCheck { Ok, HighNotNumber, LowNotNumber, LowAboveHigh };
DensityCheck checkDensityThresholds(const QString& high, const QString& low);

// ---- Parameter file -----------------------------------------------------------------------

// The working directory answer as a folder prefix: blanks stripped, "/" appended unless it
// already ends in "/" or "\". Empty stays empty.
QString workDirFromAnswer(const QString& answer);

// ---- Host queries -------------------------------------------------------------------------

// The queries the launcher sends to the host, with the messages that go with them. Each call
// blocks until the host answers or the link's time-out runs out.
class HostQueries {
public:
    HostQueries(ClientLink& link, Prompts& prompts);

    // Theme kinds of FillThemeCombo.
    enum { FeatureThemes = 1, GridThemes = 2 };

    // The active view's name; "" (after a message) when the host has none.
    QString GetActiveViewName();
    // Raw list answers; "" without a message when there is none.
    QString GetGridThemes(const QString& view);
    QString GetFeatureThemes(const QString& view, int selector);

    // The names FillThemeCombo puts in its list.
    QStringList themeNames(int kind, const QString& view, int selector);
    // The names FillFieldCombo puts in its list; a message when the theme has none.
    QStringList fieldNames(const QString& theme, const QString& view, int selector);
    // Names of a list answer: "#"-joined, or a temporary list file read and deleted.
    QStringList namesFromAnswer(const QString& answer);
    QStringList ReadHostListFile(const QString& path);

    // Position of the view's map unit among entries (case and outer blanks ignored), -1 when
    // the host gives none or it matches no entry.
    int viewUnitsIndex(const QStringList& entries, const QString& view);

    // The working directory with its trailing separator; "" after a message when none.
    QString GetWorkDir();

    // The working directory when the host names an existing folder, else "", without a
    // message: for where a file dialog opens.
    QString workDirFolder();

    // Asks the host to run the model on directory + file name. True only for the answer
    // "Submitted"; otherwise *failureMessage holds what to tell the user (the caller shows it
    // once the processing notice is closed).
    bool RunModel(const QString& directory, const QString& fileName, QString* failureMessage);

    // True when the last request found no host at all.
    bool hostMissing() const;
    // Message for a start-up that finds no host.
    QString hostMissingMessage() const;

private:
    QString request(const QString& item);

    ClientLink& m_link;
    Prompts& m_prompts;
};
