#include "editor/gridrules.h"

#include <QtTest>

using namespace GridRules;

Q_DECLARE_METATYPE(GridRules::KeyVerdict)

// The grid's rules without a widget: the key check and the write-back of the grid's text.
class TestGridRules : public QObject {
    Q_OBJECT
private slots:
    void typedKeyIsJudgedOnTheCandidateText_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("candidate"); // the typed key is its last character
        QTest::addColumn<KeyVerdict>("verdict");
        QTest::newRow("value negative") << int(ColValue) << "-3" << KeyVerdict::Accepted;
        QTest::newRow("value point") << int(ColValue) << "12." << KeyVerdict::NotInteger;
        QTest::newRow("value blank only") << int(ColValue) << " " << KeyVerdict::NotInteger;
        QTest::newRow("high 100") << int(ColHigh) << "100" << KeyVerdict::Accepted;
        QTest::newRow("low fraction") << int(ColLow) << "12.5" << KeyVerdict::Accepted;
        QTest::newRow("high 100.5") << int(ColHigh) << "100.5" << KeyVerdict::OutOfRange;
        QTest::newRow("low below zero") << int(ColLow) << "-1" << KeyVerdict::OutOfRange;
        QTest::newRow("high second point") << int(ColHigh) << "1.5." << KeyVerdict::NotNumeric;
        QTest::newRow("name anything") << int(ColName) << "50%" << KeyVerdict::Accepted;
    }
    void typedKeyIsJudgedOnTheCandidateText()
    {
        QFETCH(int, col);
        QFETCH(QString, candidate);
        QFETCH(KeyVerdict, verdict);
        QCOMPARE(checkCellKey({3, col}, candidate.right(1), candidate), verdict);
        QCOMPARE(checkCellKey({0, col}, candidate.right(1), candidate), KeyVerdict::Accepted);
    }

    void rowHoldsDataUnlessBlankNameAndExactZeros_data()
    {
        QTest::addColumn<QStringList>("cells");
        QTest::addColumn<bool>("holdsData");
        QTest::newRow("blank name") << QStringList{"0", "   ", "0", "0", "0"} << false;
        QTest::newRow("name") << QStringList{"0", "Water", "0", "0", "0"} << true;
        QTest::newRow("empty high") << QStringList{"0", "", "", "0", "0"} << true;
        QTest::newRow("zero written 0.0") << QStringList{"0.0", "", "0", "0", "0"} << true;
    }
    void rowHoldsDataUnlessBlankNameAndExactZeros()
    {
        QFETCH(QStringList, cells);
        QFETCH(bool, holdsData);
        QCOMPARE(rowHoldsData(cells), holdsData);
    }

    void writeBackReadsNumbersAndEmptyCellsAsZero()
    {
        QVector<clsLCClass> classes;
        QVERIFY(rowsToClasses({{"2.5", " Open Space ", "12.5", "", "1e1"}}, &classes, nullptr));
        QCOMPARE(classes[0].ID, 2); // a half goes to the even neighbour
        QCOMPARE(classes[0].LCName, QStringLiteral(" Open Space ")); // names keep their blanks
        QCOMPARE(classes[0].LCHigh, 12.5f);
        QCOMPARE(classes[0].LCMed, 0.0f);
        QCOMPARE(classes[0].LCLow, 10.0f);
    }

    void writeBackRefusesTheWholeSetNamingRowAndColumn()
    {
        QVector<clsLCClass> classes;
        WriteBackError error;
        QVERIFY(!rowsToClasses({{"1", "a", "1", "1", "1"}, {"5", "b", "1", "ten", "1"}}, &classes,
                               &error));
        QVERIFY(classes.isEmpty());
        QCOMPARE(error.message(), "Row 2, column Medium: \"ten\" is not a number. Nothing was "
                                  "saved; correct the cell and save again.");
        QVERIFY(!rowsToClasses({{"2147483648", "b", "1", "1", "1"}}, &classes, &error));
        QCOMPARE(error.message(), "Row 1, column Value: \"2147483648\" is not a number within "
                                  "the range of class values (-2147483648 to 2147483647). Nothing "
                                  "was saved; correct the cell and save again.");
    }
};

QTEST_GUILESS_MAIN(TestGridRules)
#include "tst_gridrules.moc"
