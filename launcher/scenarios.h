#pragma once

#include <QString>
#include <QVector>

// The scenario rows' arithmetic: positions, scrolling, deletion.

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
