#include "model/store.h"
#include "tests/support/testfiles.h"

#include <QtTest>

// The model's 1-based lists, its XML mapping and the line layout of the store file.
class tst_StoreXml : public QObject {
    Q_OBJECT

    static const QString examplePath()
    {
        return QStringLiteral(TARN_TEST_DATA_DIR "/example-store.xml");
    }

private slots:
    // The lists hold shared references, 1-based; positions outside are refused.
    void listsAreOneBasedSharedAndBounded()
    {
        clsLCClasses list;
        auto row = std::make_shared<clsLCClass>();
        list.Add(std::make_shared<clsLCClass>());
        list.Add(row);
        list.Remove(1);
        QCOMPARE(list.Count(), 1);
        QCOMPARE(list.Item(1).get(), row.get());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Item(0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Item(2));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.Remove(2));
        QCOMPARE(list.Count(), 1);
    }

    void storesWriteBackByteForByte_data()
    {
        QTest::addColumn<QString>("path"); // empty: a new model
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("example store") << examplePath() << readFile(examplePath());
        const QString bundled = QStringLiteral(TARN_SOURCE_DIR "/etc/isprops.xml");
        QTest::newRow("bundled store") << bundled << readFile(bundled);
        QTest::newRow("no sets, three lines")
            << QString()
            << QByteArray("  <ISModelProperties>\r\n    <ISLCDefs/>\r\n  </ISModelProperties>\r\n");
    }
    void storesWriteBackByteForByte()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, bytes);
        clsISModelProperties model;
        QVERIFY(path.isEmpty() || LoadModelXML(model, path));
        QVERIFY(path.isEmpty() || model.ISLCDefs->Count() > 0);
        QCOMPARE(storeFileBytes(model), bytes);
    }

    // One line, markup escaped; reading it back drops the names' outer blanks only.
    void serializedFormIsOneLineAndReadsBack()
    {
        QCOMPARE(clsISModelProperties().XML(),
                 QStringLiteral("<ISModelProperties><ISLCDefs/></ISModelProperties>"));
        clsISModelProperties model;
        auto set = std::make_shared<clsISLCDef>();
        set->LCType = QStringLiteral(" A & <B> \"q\" 'y' ");
        auto row = std::make_shared<clsLCClass>();
        row->ID = -3;
        row->LCName = QStringLiteral(" caf\u00e9 ");
        row->LCHigh = 0.75f;
        set->LCClasses->Add(row);
        model.ISLCDefs->Add(set);
        QCOMPARE(set->XML(),
                 QStringLiteral("<ISLCDef><LCType> A &amp; &lt;B&gt; \"q\" 'y' </LCType>"
                                "<LCClasses><LCClass ID=\"-3\"><LCName> caf\u00e9 "
                                "</LCName><LCHigh>0.75</LCHigh><LCMed>0</LCMed>"
                                "<LCLow>0</LCLow></LCClass></LCClasses></ISLCDef>"));
        clsISModelProperties back;
        QVERIFY(back.setXML(model.XML()));
        QCOMPARE(back.ISLCDefs->Item(1)->LCType, QStringLiteral("A & <B> \"q\" 'y'"));
        QCOMPARE(back.ISLCDefs->Item(1)->LCClasses->Item(1)->LCName, QStringLiteral("caf\u00e9"));
    }

    void readingRules_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("sets"); // "name:id,id;name:" after the read

        QTest::newRow("root of another name") << "<Other><ISLCDefs><ISLCDef><LCType>A</LCType>"
                                                 "</ISLCDef></ISLCDefs></Other>"
                                              << true << "A:";
        QTest::newRow("only the first ISLCDefs counts")
            << "<R><ISLCDefs><ISLCDef><LCType>A</LCType></ISLCDef></ISLCDefs>"
               "<ISLCDefs><ISLCDef><LCType>B</LCType></ISLCDef></ISLCDefs></R>"
            << true << "A:";
        QTest::newRow("other children ignored")
            << "<R><ISLCDefs><X/><ISLCDef><LCType>A</LCType><LCType>B</LCType><LCClasses>"
               "<LCClass ID='1'><LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass>"
               "<Y/></LCClasses></ISLCDef></ISLCDefs></R>"
            << true << "A:1";
        QTest::newRow("missing LCType and LCClasses")
            << "<R><ISLCDefs><ISLCDef/></ISLCDefs></R>" << true << ":";
        QTest::newRow("class value rounds half to even")
            << "<R><ISLCDefs><ISLCDef><LCType>A</LCType><LCClasses>"
               "<LCClass ID=' 21.5 '><LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass>"
               "<LCClass ID='22.5'><LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass>"
               "</LCClasses></ISLCDef></ISLCDefs></R>"
            << true << "A:22,22";
        QTest::newRow("letters in a coefficient fail, earlier sets kept")
            << "<R><ISLCDefs><ISLCDef><LCType>G</LCType></ISLCDef>"
               "<ISLCDef><LCType>A</LCType><LCClasses>"
               "<LCClass ID='1'><LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass>"
               "<LCClass ID='2'><LCHigh>high</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass>"
               "</LCClasses></ISLCDef></ISLCDefs></R>"
            << false << "G:";
        QTest::newRow("missing coefficient fails")
            << "<R><ISLCDefs><ISLCDef><LCType>A</LCType><LCClasses>"
               "<LCClass ID='1'><LCHigh>1</LCHigh><LCMed>1</LCMed></LCClass>"
               "</LCClasses></ISLCDef></ISLCDefs></R>"
            << false << "";
        QTest::newRow("class value beyond 32 bits fails")
            << "<R><ISLCDefs><ISLCDef><LCType>A</LCType><LCClasses>"
               "<LCClass ID='4294967296'><LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow>"
               "</LCClass></LCClasses></ISLCDef></ISLCDefs></R>"
            << false << "";
        QTest::newRow("mixed content text is joined")
            << "<R><ISLCDefs><ISLCDef><LCType> A<b>B</b>C </LCType></ISLCDef></ISLCDefs></R>"
            << true << "ABC:";
    }
    void readingRules()
    {
        QFETCH(QString, xml);
        QFETCH(bool, ok);
        QFETCH(QString, sets);
        clsISModelProperties model;
        XmlReadError error;
        QCOMPARE(model.setXML(xml, &error), ok);
        if (!ok) {
            QVERIFY(!error.description.isEmpty());
        }
        QStringList got;
        for (const ISLCDefPtr& set : *model.ISLCDefs) {
            QStringList ids;
            for (const LCClassPtr& row : *set->LCClasses) {
                ids << QString::number(row->ID);
            }
            got << set->LCType + u':' + ids.join(u',');
        }
        QCOMPARE(got.join(u';'), sets);
    }

    void textThatIsNotXmlChangesNothing()
    {
        clsISModelProperties model;
        QVERIFY(model.setXML(QStringLiteral("<R><ISLCDefs><ISLCDef><LCType>Kept</LCType>"
                                            "</ISLCDef></ISLCDefs></R>")));
        const auto sets = model.ISLCDefs;
        QVERIFY(model.setXML(QStringLiteral("not <xml")));
        QVERIFY(model.setXML(QStringLiteral("<Root><Other/></Root>"))); // no ISLCDefs
        QCOMPARE(model.ISLCDefs.get(), sets.get());
        QCOMPARE(model.ISLCDefs->Item(1)->LCType, QStringLiteral("Kept"));
    }
};

QTEST_GUILESS_MAIN(tst_StoreXml)
#include "tst_storexml.moc"
