#pragma once

#include "model/clsislcdef.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Rules of the coefficient grid that need no widget: which typed characters a cell takes,
// where the keys move the current cell, and how the grid's text becomes class rows.
// Rows and columns are counted as the grid counts them: row 0 and column 0 are the fixed
// cells, data rows are 1..n, data columns 1..5.
namespace GridRules {

enum Column { ColNumber = 0, ColValue = 1, ColName = 2, ColHigh = 3, ColMed = 4, ColLow = 5 };
constexpr int ColumnCount = 6;
constexpr int FirstDataRow = 1;
constexpr int FirstDataCol = ColValue;
constexpr int LastCol = ColLow;

// The caption of a data column ("Value", "Name", "High", "Medium", "Low").
QString columnCaption(int col);

struct CellPos {
    int row = 0;
    int col = 0;
    bool operator==(const CellPos& other) const { return row == other.row && col == other.col; }
    bool operator!=(const CellPos& other) const { return !(*this == other); }
};

inline bool isDataCell(CellPos pos)
{
    return pos.row >= FirstDataRow && pos.col >= FirstDataCol && pos.col <= LastCol;
}

// Text with `typed` put in at the caret, replacing the selection when there is one.
QString candidateText(const QString& text, int cursor, int selectionStart, int selectionLength,
                      const QString& typed);

enum class KeyVerdict { Accepted, NotInteger, NotNumeric, OutOfRange };

// Judges a character typed into a cell from the text the cell would then hold.
KeyVerdict checkCellKey(CellPos cell, const QString& key, const QString& candidate);
// The message shown for a refused key; empty for Accepted.
QString keyRefusalMessage(KeyVerdict verdict);

// Enter walks along the row to the Low column, then down the Low column.
CellPos nextCellForEnter(CellPos pos, int lastRow);
// The arrow keys at the edges of the text: Left and Right wrap between rows.
CellPos cellLeftOf(CellPos pos);
CellPos cellRightOf(CellPos pos, int lastRow);
CellPos cellAbove(CellPos pos);
CellPos cellBelow(CellPos pos, int lastRow);

// Texts of the data columns of one row, Value to Low (five entries).
using RowTexts = QStringList;

// A row holds data unless its Name is blank and every number cell reads exactly "0".
bool rowHoldsData(const RowTexts& cells);

// Where the grid's text could not be written back, and why.
struct WriteBackError {
    int row = 0;
    int col = 0;
    QString text;
    QString message() const;
};

// Converts the rows to class rows; an empty or blank number cell counts as 0. False, with
// the first cell at fault, when a number cell is not a number or a Value does not fit
// 32 bits; the classes are then not filled.
bool rowsToClasses(const QVector<RowTexts>& rows, QVector<clsLCClass>* classes,
                   WriteBackError* error);

// Makes the set hold exactly these class rows, in order: class r is overwritten in place
// (other holders of it see the change), missing ones are appended, extra ones removed
// from the end.
void writeClassesToSet(clsISLCDef& set, const QVector<clsLCClass>& classes);

} // namespace GridRules
