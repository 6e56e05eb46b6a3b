#include "editor/coefficientgrid.h"

#include "base/numbertext.h"
#include "shared_windows/twips.h"

#include <QComboBox>
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QTableWidget>

using namespace GridRules;

namespace {

// Column widths in twips, the fixed column first.
constexpr int kColumnTwips[ColumnCount] = {400, 775, 2600, 965, 965, 965};
constexpr int kRowTwips = 255;

// Data cells can become current; the grid's own editing is off, so they are not editable.
constexpr Qt::ItemFlags kDataCellFlags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;

QTableWidgetItem* cellItem(QTableWidget& grid, int row, int col)
{
    QTableWidgetItem* item = grid.item(row, col);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(row == 0 || col == 0 ? Qt::NoItemFlags : kDataCellFlags);
        grid.setItem(row, col, item);
    }
    return item;
}

void setHeaderText(QTableWidget& grid, Qt::Orientation orientation, int section,
                   const QString& text)
{
    const bool horizontal = orientation == Qt::Horizontal;
    QTableWidgetItem* item =
        horizontal ? grid.horizontalHeaderItem(section) : grid.verticalHeaderItem(section);
    if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignCenter);
        if (horizontal) {
            grid.setHorizontalHeaderItem(section, item);
        } else {
            grid.setVerticalHeaderItem(section, item);
        }
    }
    item->setText(text);
}

// The current cell is marked by its light yellow alone: the style's focus marking would
// tint it and frame it whenever the grid has the focus.
class CoefficientCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->state &= ~QStyle::State_HasFocus;
    }
};

} // namespace

QColor currentCellColour()
{
    return QColor(255, 255, 192);
}

void SetUpCoefficientGrid(QTableWidget& grid, const TwipsLayout& layout)
{
    grid.setColumnCount(ColumnCount);
    grid.setRowCount(2);
    grid.setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid.setSelectionMode(QAbstractItemView::NoSelection);
    grid.setTabKeyNavigation(false);
    grid.setCornerButtonEnabled(false);
    grid.setWordWrap(false);
    grid.setItemDelegate(new CoefficientCellDelegate(&grid));
    grid.setHorizontalScrollMode(QAbstractItemView::ScrollPerItem);
    grid.setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // The fixed cells hold their texts but are shown through the header views.
    grid.setRowHidden(0, true);
    grid.setColumnHidden(0, true);
    for (QHeaderView* header : {grid.horizontalHeader(), grid.verticalHeader()}) {
        header->setSectionsClickable(false);
        header->setHighlightSections(false);
        header->setDefaultAlignment(Qt::AlignCenter);
        header->setSectionResizeMode(QHeaderView::Fixed);
    }
    grid.verticalHeader()->setMinimumSectionSize(1);
    grid.verticalHeader()->setDefaultSectionSize(layout.px(kRowTwips));
    grid.horizontalHeader()->setFixedHeight(layout.px(kRowTwips));
    grid.verticalHeader()->setFixedWidth(layout.px(kColumnTwips[0]));
    for (int col = 0; col < ColumnCount; ++col) {
        grid.setColumnWidth(col, layout.px(kColumnTwips[col]));
    }
    setCellText(grid, 1, 0, QString());
}

bool cellTextCutOff(const QTableWidget& grid, int row, int col)
{
    const QTableWidgetItem* item = grid.item(row, col);
    if (!item) {
        return false;
    }
    // The delegate leaves a margin of the focus frame plus one pixel on either side.
    const int margin = grid.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid) + 1;
    return grid.fontMetrics().horizontalAdvance(item->text()) >
           grid.visualItemRect(item).width() - 2 * margin;
}

QString cellText(const QTableWidget& grid, int row, int col)
{
    const QTableWidgetItem* item = grid.item(row, col);
    return item ? item->text() : QString();
}

void setCellText(QTableWidget& grid, int row, int col, const QString& text)
{
    cellItem(grid, row, col)->setText(text);
    if (row == 0 && col > 0) {
        setHeaderText(grid, Qt::Horizontal, col, text);
    } else if (col == 0 && row > 0) {
        setHeaderText(grid, Qt::Vertical, row, text);
    }
}

RowTexts rowTexts(const QTableWidget& grid, int row)
{
    RowTexts cells;
    for (int col = ColValue; col <= ColLow; ++col) {
        cells << cellText(grid, row, col);
    }
    return cells;
}

int dataRowCount(const QTableWidget& grid)
{
    return qMax(0, grid.rowCount() - 1);
}

void FormatCoefficientGrid(QTableWidget& grid)
{
    for (int col = ColValue; col <= ColLow; ++col) {
        setCellText(grid, 0, col, columnCaption(col));
        cellItem(grid, 0, col)->setTextAlignment(Qt::AlignCenter);
    }
}

void ShowCoefficientSet(QTableWidget& grid, const QString& setName,
                        const clsISModelProperties& model)
{
    grid.setRowCount(1);
    for (int col = 0; col < ColumnCount; ++col) {
        setCellText(grid, 0, col, QString());
    }
    FormatCoefficientGrid(grid);

    const ISLCDefPtr set = model.ISLCDefs->find(setName);
    if (set) {
        grid.setRowCount(1 + set->LCClasses->Count());
        int row = 0;
        for (const LCClassPtr& lcClass : *set->LCClasses) {
            ++row;
            setCellText(grid, row, ColNumber, QString::number(row));
            setCellText(grid, row, ColValue, formatClassValue(lcClass->ID));
            setCellText(grid, row, ColName, lcClass->LCName);
            setCellText(grid, row, ColHigh, formatCoefficient(lcClass->LCHigh));
            setCellText(grid, row, ColMed, formatCoefficient(lcClass->LCMed));
            setCellText(grid, row, ColLow, formatCoefficient(lcClass->LCLow));
        }
    }
    if (grid.rowCount() == 1) {
        grid.setRowCount(2);
        for (int col = 0; col < ColumnCount; ++col) {
            setCellText(grid, 1, col, QString());
        }
    }
    grid.setCurrentCell(FirstDataRow, FirstDataCol);
    cellItem(grid, FirstDataRow, FirstDataCol)->setBackground(currentCellColour());
}

void RemoveEmptyGridRows(QTableWidget& grid)
{
    int row = FirstDataRow;
    while (row < grid.rowCount()) {
        bool empty = true;
        for (int col = 0; col < ColumnCount && empty; ++col) {
            empty = cellText(grid, row, col).isEmpty();
        }
        if (!empty) {
            ++row;
            continue;
        }
        const int last = grid.rowCount() - 1;
        for (int below = row; below < last; ++below) {
            for (int col = 0; col < ColumnCount; ++col) {
                setCellText(grid, below, col, cellText(grid, below + 1, col));
            }
        }
        grid.setRowCount(last);
    }
}

bool SaveGridToSet(QTableWidget& grid, const QString& setName, clsISModelProperties& model,
                   WriteBackError* error)
{
    RemoveEmptyGridRows(grid);

    QVector<RowTexts> rows;
    for (int row = FirstDataRow; row < grid.rowCount(); ++row) {
        rows << rowTexts(grid, row);
    }
    // Everything is converted before the set is touched, so a refusal changes nothing.
    QVector<clsLCClass> classes;
    if (!rowsToClasses(rows, &classes, error)) {
        return false;
    }
    ISLCDefPtr set = model.ISLCDefs->find(setName);
    if (!set) {
        set = std::make_shared<clsISLCDef>();
        set->LCType = setName;
        model.ISLCDefs->Add(set);
    }
    writeClassesToSet(*set, classes);
    return true;
}

bool IsNameInList(const QStringList& list, const QString& name)
{
    const QString wanted = name.toUpper();
    for (const QString& entry : list) {
        if (entry.toUpper() == wanted) {
            return true;
        }
    }
    return false;
}
