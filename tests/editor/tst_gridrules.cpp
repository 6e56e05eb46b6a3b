#include "gridrules.h"

#include <QtTest>

using namespace GridRules;

Q_DECLARE_METATYPE(GridRules::KeyVerdict)

class TestGridRules : public QObject {
    Q_OBJECT
private slots:
    void typedKeyIsJudgedOnTheCandidateText_data();
    void typedKeyIsJudgedOnTheCandidateText();
    void candidateTakesTheKeyAtTheCaret_data();
    void candidateTakesTheKeyAtTheCaret();
    void enterWalksTheRowThenDownTheLowColumn();
    void arrowsWrapBetweenRows();
    void rowHoldsDataUnlessBlankNameAndExactZeros_data();
    void rowHoldsDataUnlessBlankNameAndExactZeros();
    void writeBackReadsNumbersAndEmptyCellsAsZero();
    void writeBackRefusesNamingRowAndColumn_data();
    void writeBackRefusesNamingRowAndColumn();
    void writingToSetOverwritesInPlaceAndTrimsFromTheEnd();
};

void TestGridRules::typedKeyIsJudgedOnTheCandidateText_data()
{
    QTest::addColumn<int>("col");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<KeyVerdict>("verdict");

    QTest::newRow("value digit") << int(ColValue) << "7"
                                 << "127" << KeyVerdict::Accepted;
    QTest::newRow("value negative") << int(ColValue) << "3"
                                    << "-3" << KeyVerdict::Accepted;
    QTest::newRow("value point") << int(ColValue) << "."
                                 << "12." << KeyVerdict::NotInteger;
    QTest::newRow("value lone minus") << int(ColValue) << "-"
                                      << "-" << KeyVerdict::NotInteger;
    QTest::newRow("value letter") << int(ColValue) << "x"
                                  << "1x" << KeyVerdict::NotInteger;
    QTest::newRow("value blank only") << int(ColValue) << " "
                                      << " " << KeyVerdict::NotInteger;
    QTest::newRow("high 100") << int(ColHigh) << "0"
                              << "100" << KeyVerdict::Accepted;
    QTest::newRow("medium 0") << int(ColMed) << "0"
                              << "0" << KeyVerdict::Accepted;
    QTest::newRow("low fraction") << int(ColLow) << "5"
                                  << "12.5" << KeyVerdict::Accepted;
    QTest::newRow("high 1000") << int(ColHigh) << "0"
                               << "1000" << KeyVerdict::OutOfRange;
    QTest::newRow("high 100.5") << int(ColHigh) << "5"
                                << "100.5" << KeyVerdict::OutOfRange;
    QTest::newRow("low below zero") << int(ColLow) << "1"
                                    << "-1" << KeyVerdict::OutOfRange;
    QTest::newRow("low lone minus") << int(ColLow) << "-"
                                    << "-" << KeyVerdict::NotNumeric;
    QTest::newRow("high percent") << int(ColHigh) << "%"
                                  << "50%" << KeyVerdict::NotNumeric;
    QTest::newRow("high second point") << int(ColHigh) << "."
                                       << "1.5." << KeyVerdict::NotNumeric;
    QTest::newRow("high comma") << int(ColHigh) << ","
                                << "1," << KeyVerdict::NotNumeric;
    QTest::newRow("medium quote") << int(ColMed) << "'"
                                  << "'" << KeyVerdict::NotNumeric;
    QTest::newRow("name anything") << int(ColName) << "%"
                                   << "50%" << KeyVerdict::Accepted;
}

void TestGridRules::typedKeyIsJudgedOnTheCandidateText()
{
    QFETCH(int, col);
    QFETCH(QString, key);
    QFETCH(QString, candidate);
    QFETCH(KeyVerdict, verdict);
    QCOMPARE(checkCellKey({3, col}, key, candidate), verdict);
    // The fixed row is never judged.
    QCOMPARE(checkCellKey({0, col}, key, candidate), KeyVerdict::Accepted);
}

void TestGridRules::candidateTakesTheKeyAtTheCaret_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<int>("selectionStart");
    QTest::addColumn<int>("selectionLength");
    QTest::addColumn<QString>("expected");

    QTest::newRow("caret in the middle") << "15" << 1 << -1 << 0 << "125";
    QTest::newRow("caret at start") << "15" << 0 << -1 << 0 << "215";
    QTest::newRow("selection replaced") << "1005" << 3 << 1 << 2 << "125";
    QTest::newRow("all selected") << "99" << 2 << 0 << 2 << "2";
}

void TestGridRules::candidateTakesTheKeyAtTheCaret()
{
    QFETCH(QString, text);
    QFETCH(int, cursor);
    QFETCH(int, selectionStart);
    QFETCH(int, selectionLength);
    QFETCH(QString, expected);
    QCOMPARE(candidateText(text, cursor, selectionStart, selectionLength, QStringLiteral("2")),
             expected);
}

void TestGridRules::enterWalksTheRowThenDownTheLowColumn()
{
    QCOMPARE(nextCellForEnter({3, ColValue}, 4), (CellPos{3, ColName}));
    QCOMPARE(nextCellForEnter({3, ColLow}, 4), (CellPos{4, ColLow}));
    QCOMPARE(nextCellForEnter({4, ColLow}, 4), (CellPos{4, ColLow}));
}

void TestGridRules::arrowsWrapBetweenRows()
{
    QCOMPARE(cellRightOf({3, ColLow}, 4), (CellPos{4, ColValue}));
    QCOMPARE(cellRightOf({4, ColLow}, 4), (CellPos{4, ColLow}));
    QCOMPARE(cellLeftOf({3, ColValue}), (CellPos{2, ColLow}));
    QCOMPARE(cellLeftOf({1, ColValue}), (CellPos{1, ColValue}));
    QCOMPARE(cellAbove({1, ColHigh}), (CellPos{1, ColHigh}));
    QCOMPARE(cellBelow({4, ColHigh}, 4), (CellPos{4, ColHigh}));
    QCOMPARE(cellBelow({3, ColHigh}, 4), (CellPos{4, ColHigh}));
}

void TestGridRules::rowHoldsDataUnlessBlankNameAndExactZeros_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<bool>("holdsData");

    QTest::newRow("new row") << QStringList{"0", "", "0", "0", "0"} << false;
    QTest::newRow("blank name") << QStringList{"0", "   ", "0", "0", "0"} << false;
    QTest::newRow("name") << QStringList{"0", "Water", "0", "0", "0"} << true;
    QTest::newRow("empty high") << QStringList{"0", "", "", "0", "0"} << true;
    QTest::newRow("zero written 0.0") << QStringList{"0.0", "", "0", "0", "0"} << true;
    QTest::newRow("low set") << QStringList{"0", "", "0", "0", "5"} << true;
}

void TestGridRules::rowHoldsDataUnlessBlankNameAndExactZeros()
{
    QFETCH(QStringList, cells);
    QFETCH(bool, holdsData);
    QCOMPARE(rowHoldsData(cells), holdsData);
}

void TestGridRules::writeBackReadsNumbersAndEmptyCellsAsZero()
{
    QVector<clsLCClass> classes;
    WriteBackError error;
    QVERIFY(
        rowsToClasses({{"21", " Open Space ", "12.5", "", "  "}, {"2.5", "", "100", "0", "1e1"}},
                      &classes, &error));
    QCOMPARE(classes.size(), 2);
    QCOMPARE(classes[0].ID, 21);
    QCOMPARE(classes[0].LCName, QStringLiteral(" Open Space ")); // names keep their blanks
    QCOMPARE(classes[0].LCHigh, 12.5f);
    QCOMPARE(classes[0].LCMed, 0.0f);
    QCOMPARE(classes[0].LCLow, 0.0f);
    QCOMPARE(classes[1].ID, 2); // a half goes to the even neighbour
    QCOMPARE(classes[1].LCLow, 10.0f);
}

void TestGridRules::writeBackRefusesNamingRowAndColumn_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("medium");
    QTest::addColumn<int>("col");
    QTest::addColumn<QString>("message");

    QTest::newRow("lone minus") << "5"
                                << "-" << int(ColMed)
                                << "Row 2, column Medium: \"-\" is not a number. Nothing was "
                                   "saved; correct the cell and save again.";
    QTest::newRow("pasted word") << "5"
                                 << "ten" << int(ColMed)
                                 << "Row 2, column Medium: \"ten\" is not a number. Nothing was "
                                    "saved; correct the cell and save again.";
    QTest::newRow("value beyond 32 bits")
        << "2147483648"
        << "1" << int(ColValue)
        << "Row 2, column Value: \"2147483648\" is not a number within the range of class values "
           "(-2147483648 to 2147483647). Nothing was saved; correct the cell and save again.";
}

void TestGridRules::writeBackRefusesNamingRowAndColumn()
{
    QFETCH(QString, value);
    QFETCH(QString, medium);
    QFETCH(int, col);
    QFETCH(QString, message);

    QVector<clsLCClass> classes;
    WriteBackError error;
    QVERIFY(!rowsToClasses({{"1", "a", "1", "1", "1"}, {value, "b", "1", medium, "1"}}, &classes,
                           &error));
    QVERIFY(classes.isEmpty());
    QCOMPARE(error.row, 2);
    QCOMPARE(error.col, col);
    QCOMPARE(error.message(), message);
}

void TestGridRules::writingToSetOverwritesInPlaceAndTrimsFromTheEnd()
{
    clsISLCDef set;
    for (int i = 1; i <= 4; ++i) {
        auto lcClass = std::make_shared<clsLCClass>();
        lcClass->ID = i;
        set.LCClasses->Add(lcClass);
    }
    const LCClassPtr first = set.LCClasses->Item(1);
    clsLCClass a;
    a.ID = 40;
    a.LCName = QStringLiteral("A");
    clsLCClass b;
    b.ID = 50;
    writeClassesToSet(set, {a, b});
    QCOMPARE(set.LCClasses->Count(), 2);
    QCOMPARE(set.LCClasses->Item(1).get(), first.get());
    QCOMPARE(first->ID, 40);
    QCOMPARE(first->LCName, QStringLiteral("A"));
    QCOMPARE(set.LCClasses->Item(2)->ID, 50);

    writeClassesToSet(set, {a, b, a});
    QCOMPARE(set.LCClasses->Count(), 3);
    QCOMPARE(set.LCClasses->Item(3)->ID, 40);
}

QTEST_GUILESS_MAIN(TestGridRules)
#include "tst_gridrules.moc"
