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

    // Decimals as the coefficients take them; class values rounded half to even, in 32 bits.
    void parsing_data()
    {
        QTest::addColumn<bool>("classValue");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("value");
        const auto row = [](const char* name, bool classValue, const char* text, bool ok,
                            double value) {
            QTest::newRow(name) << classValue << QString(text) << ok << value;
        };
        row("plain", false, "12", true, 12.0);
        row("blanks around", false, " \t12.5 ", true, 12.5);
        row("exponent", false, "1.5e2", true, 150.0);
        row("empty", false, "", false, 0.0);
        row("lone minus", false, "-", false, 0.0);
        row("comma decimal", false, "12,5", false, 0.0);
        row("nan", false, "nan", false, 0.0);
        row("hex", false, "0x10", false, 0.0);
        row("exponent without digits", false, "1e", false, 0.0);
        row("overflow", false, "1e400", false, 0.0);
        row("class value", true, "21", true, 21);
        row("class value half down to even", true, "22.5", true, 22);
        row("class value half up to even", true, "21.5", true, 22);
        row("largest class value", true, "2147483647", true, std::numeric_limits<qint32>::max());
        row("class value beyond 32 bits", true, "2147483648", false, 0);
        row("class value rounding beyond 32 bits", true, "2147483647.5", false, 0);
        row("empty class value", true, "", false, 0);
    }
    void parsing()
    {
        QFETCH(bool, classValue);
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(double, value);
        double parsed = -1;
        qint32 parsedClass = 12345;
        QCOMPARE(classValue ? parseClassValue(text, &parsedClass) : parseDecimal(text, &parsed),
                 ok);
        if (ok) {
            QCOMPARE(classValue ? double(parsedClass) : parsed, value);
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
};

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
