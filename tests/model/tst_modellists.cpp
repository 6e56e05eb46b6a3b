#include "model/clsismodelproperties.h"

#include <QtTest>

// The two list classes hold shared references, 1-based.
class tst_ModelLists : public QObject {
    Q_OBJECT

private slots:
    void newRootHasNoSets()
    {
        clsISModelProperties root;
        QCOMPARE(root.ISLCDefs->Count(), 0);
        QCOMPARE(root.XML(), QStringLiteral("<ISModelProperties><ISLCDefs/></ISModelProperties>"));
    }

    void sameObjectAddedTwiceIsSharedByBothPositions()
    {
        clsLCClasses list;
        auto row = std::make_shared<clsLCClass>();
        list.Add(row);
        list.Add(row);
        QCOMPARE(list.Count(), 2);
        row->LCName = QStringLiteral("Forest");
        QCOMPARE(list.Item(1)->LCName, QStringLiteral("Forest"));
        QCOMPARE(list.Item(2).get(), row.get());
    }

    void removeMovesLaterItemsForward()
    {
        clsISLCDefs sets;
        for (const char* name : {"a", "b", "c"}) {
            auto set = std::make_shared<clsISLCDef>();
            set->LCType = QString::fromLatin1(name);
            sets.Add(set);
        }
        sets.Remove(1);
        QCOMPARE(sets.Count(), 2);
        QCOMPARE(sets.Item(1)->LCType, QStringLiteral("b"));
        QStringList walked;
        for (const ISLCDefPtr& set : sets) {
            walked << set->LCType;
        }
        QCOMPARE(walked, QStringList({"b", "c"}));
    }

    void positionsOutsideTheListAreRefused()
    {
        clsLCClasses list;
        list.Add(std::make_shared<clsLCClass>());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Item(0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Item(2));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Remove(2));
        QCOMPARE(list.Count(), 1);
    }

    void findComparesNamesExactly()
    {
        clsISLCDefs sets;
        for (const char* name : {"Urban", "urban", "Urban"}) {
            auto set = std::make_shared<clsISLCDef>();
            set->LCType = QString::fromLatin1(name);
            sets.Add(set);
        }
        QCOMPARE(sets.indexOf(QStringLiteral("urban")), 2);
        QCOMPARE(sets.indexOf(QStringLiteral("Urban")), 1);
        QCOMPARE(sets.indexOf(QStringLiteral("Urban ")), 0);
        QVERIFY(!sets.find(QStringLiteral("URBAN")));
    }
};

QTEST_GUILESS_MAIN(tst_ModelLists)
#include "tst_modellists.moc"
