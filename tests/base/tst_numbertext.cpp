#include "base/numbertext.h"

#include <QtTest>

#include <clocale>
#include <limits>

class tst_NumberText : public QObject {
    Q_OBJECT

private slots:
    void coefficientText_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 100.0f << "100";
        QTest::newRow("half") << 12.5f << "12.5";
        QTest::newRow("below one keeps its zero") << 0.75f << "0.75";
        QTest::newRow("seven digits") << 100.0f / 3.0f << "33.33333";
        QTest::newRow("single precision noise hidden") << 33.3f << "33.3";
        QTest::newRow("negative zero") << -0.0f << "0";
        QTest::newRow("large uses exponent") << 12345678.0f << "1.234568E+07";
        QTest::newRow("tiny uses exponent") << 0.00001f << "1E-05";
    }
    void coefficientText()
    {
        QFETCH(float, value);
        QFETCH(QString, text);
        QCOMPARE(formatCoefficient(value), text);
        float back = 0;
        QVERIFY(parseCoefficient(text, &back));
        QCOMPARE(formatCoefficient(back), text);
    }

    void decimalGrammar_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("numeric");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "12" << true << 12.0;
        QTest::newRow("blanks around") << " \t12.5 " << true << 12.5;
        QTest::newRow("exponent") << "1.5e2" << true << 150.0;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("lone minus") << "-" << false << 0.0;
        QTest::newRow("comma decimal") << "12,5" << false << 0.0;
        QTest::newRow("nan") << "nan" << false << 0.0;
        QTest::newRow("hex") << "0x10" << false << 0.0;
        QTest::newRow("exponent without digits") << "1e" << false << 0.0;
        QTest::newRow("overflow") << "1e400" << false << 0.0;
    }
    void decimalGrammar()
    {
        QFETCH(QString, text);
        QFETCH(bool, numeric);
        QFETCH(double, value);
        double parsed = -1;
        QCOMPARE(parseDecimal(text, &parsed), numeric);
        if (numeric) {
            QCOMPARE(parsed, value);
        }
    }

    void decimalPointIgnoresTheLocale()
    {
        const char* previous = std::setlocale(LC_NUMERIC, nullptr);
        const QByteArray saved = previous ? QByteArray(previous) : QByteArray("C");
        if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
            QSKIP("no German locale on this machine");
        }
        double parsed = 0;
        QVERIFY(parseDecimal(u"12.5", &parsed));
        QCOMPARE(parsed, 12.5);
        QCOMPARE(formatCoefficient(12.5f), QStringLiteral("12.5"));
        std::setlocale(LC_NUMERIC, saved.constData());
    }

    void classValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "21" << true << 21;
        QTest::newRow("half down to even") << "22.5" << true << 22;
        QTest::newRow("half up to even") << "21.5" << true << 22;
        QTest::newRow("largest") << "2147483647" << true << std::numeric_limits<qint32>::max();
        QTest::newRow("beyond 32 bits") << "2147483648" << false << 0;
        QTest::newRow("rounds beyond 32 bits") << "2147483647.5" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
    }
    void classValue()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(int, value);
        qint32 parsed = 12345;
        QCOMPARE(parseClassValue(text, &parsed), ok);
        if (ok) {
            QCOMPARE(parsed, value);
        }
    }
};

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
