#include "frame.h"
#include "hostlink.h"

#include <QTest>

class TestHostLinkFrames : public QObject {
    Q_OBJECT
private slots:
    void encodesHeaderWithByteLength();
    void decodesFramesArrivingByteByByte_data();
    void decodesFramesArrivingByteByByte();
    void decodesSeveralFramesFromOneChunk();
    void refusesMalformedHeaders_data();
    void refusesMalformedHeaders();
};

void TestHostLinkFrames::encodesHeaderWithByteLength()
{
    QCOMPARE(encodeFrame(FrameVerb::Execute, QStringLiteral("{view}")),
             QByteArray("EXECUTE 6\n{view}"));
    QCOMPARE(encodeFrame(FrameVerb::Ack), QByteArray("ACK 0\n"));
    // Length counts UTF-8 bytes, not characters.
    QCOMPARE(encodeFrame(FrameVerb::Data, QStringLiteral("Zürich")),
             QByteArray("DATA 7\nZ\xc3\xbcrich"));
}

void TestHostLinkFrames::decodesFramesArrivingByteByByte_data()
{
    QTest::addColumn<int>("verb");
    QTest::addColumn<QString>("text");
    QTest::newRow("request item") << int(FrameVerb::Request)
                                  << QStringLiteral("av.Run(\"isGetFThemes\",{\"View1\",\"2\"})");
    QTest::newRow("empty nodata") << int(FrameVerb::NoData) << QString();
    QTest::newRow("line breaks cross") << int(FrameVerb::Data) << QStringLiteral("a\nb\r\nc\n");
    QTest::newRow("non-latin text") << int(FrameVerb::Data) << QStringLiteral("Łódź#東京");
    QTest::newRow("leading byte order mark kept")
        << int(FrameVerb::Execute) << QString(QChar(0xfeff)) + "{view}";
}

void TestHostLinkFrames::decodesFramesArrivingByteByByte()
{
    QFETCH(int, verb);
    QFETCH(QString, text);
    const QByteArray bytes = encodeFrame(FrameVerb(verb), text);
    FrameReader reader;
    for (int i = 0; i < bytes.size() - 1; ++i) {
        reader.append(bytes.mid(i, 1));
        QCOMPARE(reader.next(), FrameReader::Status::NeedMore);
    }
    reader.append(bytes.right(1));
    QCOMPARE(reader.next(), FrameReader::Status::Frame);
    QCOMPARE(int(reader.verb()), verb);
    QCOMPARE(reader.text(), text);
    QVERIFY(!reader.isMidFrame());
}

void TestHostLinkFrames::decodesSeveralFramesFromOneChunk()
{
    FrameReader reader;
    reader.append(encodeFrame(FrameVerb::Execute, "{hide}") +
                  encodeFrame(FrameVerb::Execute, "{unhide}") + "EXEC");
    QCOMPARE(reader.next(), FrameReader::Status::Frame);
    QCOMPARE(reader.text(), QStringLiteral("{hide}"));
    QCOMPARE(reader.next(), FrameReader::Status::Frame);
    QCOMPARE(reader.text(), QStringLiteral("{unhide}"));
    QCOMPARE(reader.next(), FrameReader::Status::NeedMore);
    QVERIFY(reader.isMidFrame());
}

void TestHostLinkFrames::refusesMalformedHeaders_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no length") << QByteArray("EXECUTE\n") << "malformed header";
    QTest::newRow("unknown verb") << QByteArray("HELLO 0\n") << "unknown verb";
    QTest::newRow("lower-case verb") << QByteArray("execute 0\n") << "unknown verb";
    QTest::newRow("negative length") << QByteArray("DATA -1\n") << "malformed length";
    QTest::newRow("signed length") << QByteArray("DATA +1\n") << "malformed length";
    QTest::newRow("two blanks") << QByteArray("DATA  1\n") << "malformed length";
    QTest::newRow("carriage return") << QByteArray("DATA 1\r\n") << "malformed length";
    QTest::newRow("letters in length") << QByteArray("DATA 1a\n") << "malformed length";
    QTest::newRow("huge digit run") << QByteArray("DATA 000000000001\n") << "malformed length";
    QTest::newRow("endless header") << QByteArray(40, 'A') << "no header line end";
}

void TestHostLinkFrames::refusesMalformedHeaders()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    FrameReader reader;
    reader.append(bytes);
    QCOMPARE(reader.next(), FrameReader::Status::Error);
    QVERIFY2(reader.errorString().contains(reason), qPrintable(reader.errorString()));
    // A failed reader stays failed even if good bytes follow.
    reader.append(encodeFrame(FrameVerb::Ack));
    QCOMPARE(reader.next(), FrameReader::Status::Error);
}

QTEST_GUILESS_MAIN(TestHostLinkFrames)
#include "tst_hostlinkframes.moc"
