// The host link's frame reader on any byte stream. The frames must be the same whether the
// stream arrives whole, byte by byte or in pieces; every frame read encodes and reads back.
#include "fuzzinput.h"
#include "hostlink/frame.h"

#include <QList>
#include <QPair>

namespace {

struct Outcome {
    QList<QPair<FrameVerb, QString>> frames;
    bool failed = false;
    bool midFrame = false;

    bool operator==(const Outcome& o) const
    {
        return frames == o.frames && failed == o.failed && midFrame == o.midFrame;
    }
};

// Reads the stream cut into pieces of the sizes given in turn (0 stands for 1).
Outcome read(const QByteArray& stream, const QByteArray& pieceSizes)
{
    FrameReader reader;
    Outcome outcome;
    qsizetype at = 0;
    int piece = 0;
    while (at < stream.size() && !outcome.failed) {
        qsizetype size = stream.size();
        if (!pieceSizes.isEmpty()) {
            size = qMax(1, int(uchar(pieceSizes.at(piece++ % pieceSizes.size()))));
        }
        reader.append(stream.mid(at, size));
        at += size;
        FrameReader::Status status;
        while ((status = reader.next()) == FrameReader::Status::Frame) {
            outcome.frames.append({reader.verb(), reader.text()});
        }
        if (status == FrameReader::Status::Error) {
            if (reader.errorString().isEmpty()) {
                fuzzFailure("a frame error without a reason");
            }
            outcome.failed = true;
        }
    }
    outcome.midFrame = !outcome.failed && reader.isMidFrame();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first eight bytes size the pieces of the third reading, so short pieces cross
    // every boundary of the stream.
    const QByteArray input = fuzzBytes(data, size);
    const QByteArray pieceSizes = input.left(8);
    const QByteArray stream = input.mid(8);

    const Outcome whole = read(stream, {});
    if (!(read(stream, QByteArray(1, '\1')) == whole)) {
        fuzzFailure("byte by byte gives other frames than the whole stream");
    }
    if (!pieceSizes.isEmpty() && !(read(stream, pieceSizes) == whole)) {
        fuzzFailure("pieces give other frames than the whole stream");
    }

    for (const auto& [verb, text] : whole.frames) {
        FrameReader reader;
        reader.append(encodeFrame(verb, text));
        if (reader.next() != FrameReader::Status::Frame || reader.verb() != verb ||
            reader.text() != text) {
            fuzzFailure("a frame read does not encode and read back", text);
        }
    }
    return 0;
}
