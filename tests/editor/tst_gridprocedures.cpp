#include "basismodelpropsutil.h"
#include "editorfixture.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QtTest>

using namespace GridRules;

// The grid procedures on a bare table, no window around it.
class TestGridProcedures : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void showsSetRowsInOrderWithFixedCellsInTheHeaders();
    void unknownOrEmptySetShowsOneBlankRow();
    void showFindsTheFirstSetOfThatNameExactly();
    void removesOnlyRowsWhoseEveryCellIsEmpty();
    void saveWritesRowsIntoTheNamedSet();
    void saveCreatesAMissingSetAndDropsTheBlankRow();
    void refusedSaveChangesNeitherSetNorModel();

private:
    std::unique_ptr<QTableWidget> grid;
    clsISModelProperties model;
};

void TestGridProcedures::init()
{
    grid = std::make_unique<QTableWidget>();
    SetUpCoefficientGrid(*grid);
    model = standardModel();
}

void TestGridProcedures::cleanup()
{
    grid.reset();
}

void TestGridProcedures::showsSetRowsInOrderWithFixedCellsInTheHeaders()
{
    ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
    QCOMPARE(grid->rowCount(), 5);
    QCOMPARE(rowTexts(*grid, 2), (QStringList{"21", "Open Space", "12.5", "10", "5"}));
    QCOMPARE(cellText(*grid, 4, ColNumber), QStringLiteral("4"));
    QCOMPARE(grid->verticalHeaderItem(4)->text(), QStringLiteral("4"));
    QStringList captions;
    for (int col = ColValue; col <= ColLow; ++col) {
        QCOMPARE(grid->horizontalHeaderItem(col)->text(), cellText(*grid, 0, col));
        captions << cellText(*grid, 0, col);
    }
    QCOMPARE(captions, (QStringList{"Value", "Name", "High", "Medium", "Low"}));
    QVERIFY(grid->isRowHidden(0));
    QVERIFY(grid->isColumnHidden(0));
    QCOMPARE(grid->columnWidth(ColName), 173); // 2600 twips
    QCOMPARE(grid->currentRow(), 1);
    QCOMPARE(grid->currentColumn(), int(ColValue));
    QCOMPARE(grid->item(1, ColValue)->background().color(), QColor(255, 255, 192));
}

void TestGridProcedures::unknownOrEmptySetShowsOneBlankRow()
{
    for (const QString& name : {QStringLiteral("Empty"), QStringLiteral("urban"), QString()}) {
        ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
        ShowCoefficientSet(*grid, name, model);
        QCOMPARE(grid->rowCount(), 2);
        QCOMPARE(rowTexts(*grid, 1), (QStringList{"", "", "", "", ""}));
        QCOMPARE(cellText(*grid, 1, ColNumber), QString());
        QCOMPARE(grid->verticalHeaderItem(1)->text(), QString());
    }
}

void TestGridProcedures::showFindsTheFirstSetOfThatNameExactly()
{
    model.ISLCDefs->Add(makeSet(QStringLiteral("Urban"), {{99, "Second", 1, 1, 1}}));
    ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
    QCOMPARE(grid->rowCount(), 5);
}

void TestGridProcedures::removesOnlyRowsWhoseEveryCellIsEmpty()
{
    ShowCoefficientSet(*grid, QStringLiteral("Empty"), model); // one blank row
    grid->setRowCount(5);
    setCellText(*grid, 2, ColNumber, QStringLiteral("2"));
    setCellText(*grid, 2, ColValue, QStringLiteral("7"));
    for (int col = 0; col < ColumnCount; ++col) {
        setCellText(*grid, 3, col, QString());
    }
    setCellText(*grid, 4, ColNumber, QStringLiteral("4")); // only a number: not empty
    RemoveEmptyGridRows(*grid);
    QCOMPARE(grid->rowCount(), 3);
    QCOMPARE(cellText(*grid, 1, ColNumber), QStringLiteral("2"));
    QCOMPARE(cellText(*grid, 1, ColValue), QStringLiteral("7"));
    QCOMPARE(grid->verticalHeaderItem(1)->text(), QStringLiteral("2"));
    QCOMPARE(cellText(*grid, 2, ColNumber), QStringLiteral("4"));
}

void TestGridProcedures::saveWritesRowsIntoTheNamedSet()
{
    ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
    const LCClassPtr second = model.ISLCDefs->find("Urban")->LCClasses->Item(2);
    setCellText(*grid, 2, ColHigh, QStringLiteral("33.33333"));
    setCellText(*grid, 2, ColMed, QString()); // emptied, still current: stored as 0
    grid->setRowCount(4);                     // as after deleting a row
    QVERIFY(SaveGridToSet(*grid, QStringLiteral("Urban"), model));
    const ISLCDefPtr urban = model.ISLCDefs->find("Urban");
    QCOMPARE(urban->LCClasses->Count(), 3);
    QCOMPARE(urban->LCClasses->Item(2).get(), second.get());
    QCOMPARE(second->LCHigh, 33.33333f);
    QCOMPARE(second->LCMed, 0.0f);
    QCOMPARE(urban->LCClasses->Item(3)->LCName, QStringLiteral("Low Intensity"));
    QCOMPARE(model.ISLCDefs->Count(), 3);
}

void TestGridProcedures::saveCreatesAMissingSetAndDropsTheBlankRow()
{
    ShowCoefficientSet(*grid, QStringLiteral("New"), model);
    QVERIFY(SaveGridToSet(*grid, QStringLiteral("New"), model));
    QCOMPARE(grid->rowCount(), 1);
    QCOMPARE(model.ISLCDefs->Count(), 4);
    QCOMPARE(model.ISLCDefs->Item(4)->LCType, QStringLiteral("New"));
    QCOMPARE(model.ISLCDefs->Item(4)->LCClasses->Count(), 0);
}

void TestGridProcedures::refusedSaveChangesNeitherSetNorModel()
{
    ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
    const QByteArray before = storeFileBytes(model);
    setCellText(*grid, 1, ColHigh, QStringLiteral("55"));
    setCellText(*grid, 3, ColLow, QStringLiteral("-"));
    WriteBackError error;
    QVERIFY(!SaveGridToSet(*grid, QStringLiteral("Urban"), model, &error));
    QCOMPARE(error.row, 3);
    QCOMPARE(error.col, int(ColLow));
    QCOMPARE(storeFileBytes(model), before);

    ShowCoefficientSet(*grid, QStringLiteral("Urban"), model);
    setCellText(*grid, 1, ColValue, QStringLiteral("99999999999"));
    QVERIFY(!SaveGridToSet(*grid, QStringLiteral("Missing"), model, &error));
    QCOMPARE(model.ISLCDefs->Count(), 3); // no set created either
}

QTEST_MAIN(TestGridProcedures)
#include "tst_gridprocedures.moc"
