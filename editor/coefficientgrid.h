#pragma once

#include "editor/gridrules.h"
#include "model/clsismodelproperties.h"

#include <QColor>
#include <QString>

class QComboBox;
class QTableWidget;
class TwipsLayout;

// The editor's grid procedures. The grid is a QTableWidget whose row 0 and column 0 are the
// fixed cells: they stay in the table, hidden, so row and column numbers are the grid's own,
// and their texts are shown by the table's header views, which stay in place on scrolling.

// Light yellow of the current cell and of the in-place editor.
QColor currentCellColour();

// One-time set-up of a fresh table as the coefficient grid: six columns of the widths drawn,
// at the window's scale, the fixed row and column, no editing or selection of Qt's own.
void SetUpCoefficientGrid(QTableWidget& grid, const TwipsLayout& layout);

// Cell text; "" for a cell that was never written or is outside the grid.
QString cellText(const QTableWidget& grid, int row, int col);
// True when the cell's text is wider than the cell shows.
bool cellTextCutOff(const QTableWidget& grid, int row, int col);
// Writes a cell, keeping the header views in step with the fixed cells.
void setCellText(QTableWidget& grid, int row, int col, const QString& text);
// Texts of the data columns of a row (Value to Low).
GridRules::RowTexts rowTexts(const QTableWidget& grid, int row);
// Number of data rows (rows below the fixed row).
int dataRowCount(const QTableWidget& grid);

// The header captions, centred. No data cell changes.
void FormatCoefficientGrid(QTableWidget& grid);

// Shows the first set named setName (letter case included), one row per class; a blank row
// when there is no such set or it has no classes. The Value cell of row 1 becomes current
// and light yellow.
void ShowCoefficientSet(QTableWidget& grid, const QString& setName,
                        const clsISModelProperties& model);

// Removes the data rows whose every cell, the row number included, is empty.
void RemoveEmptyGridRows(QTableWidget& grid);

// Writes the grid's data rows into the first set named setName, appending a new set of that
// name when there is none. Text that is not a number in a number cell, or a Value beyond
// 32 bits, refuses the whole write (false, error says where): neither set nor model changes.
bool SaveGridToSet(QTableWidget& grid, const QString& setName, clsISModelProperties& model,
                   GridRules::WriteBackError* error = nullptr);

// True when an entry of the list equals name, letter case ignored.
bool IsNameInList(const QStringList& list, const QString& name);
