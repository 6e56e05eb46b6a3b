#include "editor/gridrules.h"

#include "base/numbertext.h"

#include <limits>

namespace GridRules {

QString columnCaption(int col)
{
    switch (col) {
    case ColValue:
        return QStringLiteral("Value");
    case ColName:
        return QStringLiteral("Name");
    case ColHigh:
        return QStringLiteral("High");
    case ColMed:
        return QStringLiteral("Medium");
    case ColLow:
        return QStringLiteral("Low");
    default:
        return QString();
    }
}

QString candidateText(const QString& text, int cursor, int selectionStart, int selectionLength,
                      const QString& typed)
{
    if (selectionLength > 0 && selectionStart >= 0) {
        return text.left(selectionStart) + typed + text.mid(selectionStart + selectionLength);
    }
    return text.left(cursor) + typed + text.mid(cursor);
}

KeyVerdict checkCellKey(CellPos cell, const QString& key, const QString& candidate)
{
    if (cell.row < FirstDataRow) {
        return KeyVerdict::Accepted;
    }
    double value = 0;
    switch (cell.col) {
    case ColValue:
        if (key == QLatin1String(".") || !parseDecimal(candidate, &value)) {
            return KeyVerdict::NotInteger;
        }
        return KeyVerdict::Accepted;
    case ColHigh:
    case ColMed:
    case ColLow:
        if (!parseDecimal(candidate, &value)) {
            return KeyVerdict::NotNumeric;
        }
        if (value < 0 || value > 100) {
            return KeyVerdict::OutOfRange;
        }
        return KeyVerdict::Accepted;
    default:
        return KeyVerdict::Accepted;
    }
}

QString keyRefusalMessage(KeyVerdict verdict)
{
    switch (verdict) {
    case KeyVerdict::NotInteger:
        return QStringLiteral("Invalid value entered - Class Value must be an integer.");
    case KeyVerdict::NotNumeric:
        return QStringLiteral("Invalid value entered - Coefficients must be numeric.");
    case KeyVerdict::OutOfRange:
        return QStringLiteral("Invalid value entered - Coefficients must be between 0-100.");
    case KeyVerdict::Accepted:
        break;
    }
    return QString();
}

CellPos nextCellForEnter(CellPos pos, int lastRow)
{
    if (pos.col < LastCol) {
        return {pos.row, pos.col + 1};
    }
    if (pos.row < lastRow) {
        return {pos.row + 1, pos.col};
    }
    return pos;
}

CellPos cellLeftOf(CellPos pos)
{
    if (pos.col > FirstDataCol) {
        return {pos.row, pos.col - 1};
    }
    if (pos.row > FirstDataRow) {
        return {pos.row - 1, LastCol};
    }
    return pos;
}

CellPos cellRightOf(CellPos pos, int lastRow)
{
    if (pos.col < LastCol) {
        return {pos.row, pos.col + 1};
    }
    if (pos.row < lastRow) {
        return {pos.row + 1, FirstDataCol};
    }
    return pos;
}

CellPos cellAbove(CellPos pos)
{
    return pos.row > FirstDataRow ? CellPos{pos.row - 1, pos.col} : pos;
}

CellPos cellBelow(CellPos pos, int lastRow)
{
    return pos.row < lastRow ? CellPos{pos.row + 1, pos.col} : pos;
}

bool rowHoldsData(const RowTexts& cells)
{
    for (int col = ColValue; col <= ColLow; ++col) {
        const QString text = cells.value(col - 1);
        if (col == ColName) {
            if (!text.trimmed().isEmpty()) {
                return true;
            }
        } else if (text != QLatin1String("0")) {
            return true;
        }
    }
    return false;
}

QString WriteBackError::message() const
{
    const QString where = QStringLiteral("Row %1, column %2").arg(row).arg(columnCaption(col));
    const QString why =
        col == ColValue
            ? QStringLiteral("is not a number within the range of class values (%1 to %2)")
                  .arg(std::numeric_limits<qint32>::min())
                  .arg(std::numeric_limits<qint32>::max())
            : QStringLiteral("is not a number");
    return QStringLiteral("%1: \"%2\" %3. Nothing was saved; correct the cell and save again.")
        .arg(where, text, why);
}

namespace {

// Empty or blank number cells count as 0.
bool isBlank(const QString& text)
{
    return text.trimmed().isEmpty();
}

} // namespace

bool rowsToClasses(const QVector<RowTexts>& rows, QVector<clsLCClass>* classes,
                   WriteBackError* error)
{
    QVector<clsLCClass> result;
    result.reserve(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const RowTexts& cells = rows.at(i);
        const auto fail = [&](int col) {
            if (error) {
                *error = {i + 1, col, cells.value(col - 1)};
            }
            return false;
        };
        clsLCClass row;
        const QString value = cells.value(ColValue - 1);
        if (!isBlank(value) && !parseClassValue(value, &row.ID)) {
            return fail(ColValue);
        }
        row.LCName = cells.value(ColName - 1);
        float* const coefficients[] = {&row.LCHigh, &row.LCMed, &row.LCLow};
        for (int col = ColHigh; col <= ColLow; ++col) {
            const QString text = cells.value(col - 1);
            if (!isBlank(text) && !parseCoefficient(text, coefficients[col - ColHigh])) {
                return fail(col);
            }
        }
        result.append(row);
    }
    if (classes) {
        *classes = result;
    }
    return true;
}

void writeClassesToSet(clsISLCDef& set, const QVector<clsLCClass>& classes)
{
    clsLCClasses& list = *set.LCClasses;
    for (int i = 0; i < classes.size(); ++i) {
        const clsLCClass& row = classes.at(i);
        if (i + 1 > list.Count()) {
            list.Add(std::make_shared<clsLCClass>(row));
            continue;
        }
        const LCClassPtr& target = list.Item(i + 1);
        target->ID = row.ID;
        target->LCName = row.LCName;
        target->LCHigh = row.LCHigh;
        target->LCMed = row.LCMed;
        target->LCLow = row.LCLow;
    }
    while (list.Count() > classes.size()) {
        list.Remove(list.Count());
    }
}

} // namespace GridRules
