// Files written through the write cache hold what was written, however the writes fall.
#include "analysis/bufferedfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cpl_vsi.h>

class TestBufferedFiles : public QObject {
    Q_OBJECT
private slots:
    void keepsEveryByte_data();
    void keepsEveryByte();
};

void TestBufferedFiles::keepsEveryByte_data()
{
    // The lengths of the writes that follow one another; with a header, a 100-byte header
    // written first is written again after each of them, as the shapefile writer does.
    QTest::addColumn<QList<qint64>>("writes");
    QTest::addColumn<bool>("header");
    QTest::newRow("one write longer than the cache") << QList<qint64>{3 << 20} << false;
    QTest::newRow("a header, then an index in one piece") << QList<qint64>{100, 8 << 20} << false;
    QTest::newRow("records, the header written again after each")
        << QList<qint64>(3000, 700) << true;
}

void TestBufferedFiles::keepsEveryByte()
{
    QFETCH(QList<qint64>, writes);
    QFETCH(bool, header);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.shx"));
    VSILFILE* file = VSIFOpenL(bufferedPath(path).toUtf8().constData(), "wb");
    QVERIFY(file);
    QByteArray expected;
    for (int k = 0; k < writes.size(); ++k) {
        QByteArray piece(writes[k], '\0');
        for (qint64 i = 0; i < piece.size(); ++i) {
            piece[i] = char((expected.size() + i) * 7 + k);
        }
        QCOMPARE(VSIFSeekL(file, vsi_l_offset(expected.size()), SEEK_SET), 0);
        QCOMPARE(VSIFWriteL(piece.constData(), 1, size_t(piece.size()), file),
                 size_t(piece.size()));
        expected += piece;
        if (header) {
            const QByteArray text = QByteArray::number(k).leftJustified(100, ' ');
            QCOMPARE(VSIFSeekL(file, 0, SEEK_SET), 0);
            QCOMPARE(VSIFWriteL(text.constData(), 1, 100, file), size_t(100));
            expected.replace(0, 100, text);
        }
    }
    QCOMPARE(VSIFCloseL(file), 0);
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    QCOMPARE(bytes.size(), expected.size());
    QVERIFY2(bytes == expected, "the bytes differ");
}

QTEST_GUILESS_MAIN(TestBufferedFiles)
#include "tst_bufferedfiles.moc"
