// A host's list answers, as text and as a temporary list file. The names joined again give
// the line they came from, and a list file is deleted once read.
#include "base/textcodec.h"
#include "fuzzinput.h"
#include "hostlink/listanswer.h"

#include <QFileInfo>

namespace {

void checkNames(const QStringList& names, const QString& line)
{
    if (names.join(QLatin1Char('#')) != line) {
        fuzzFailure("the names do not join to the line they came from", line);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);

    // As text: an answer that names a file would have this process read and delete any file,
    // so only answers of names are taken here; list files come below.
    const QString answer = decodeText(bytes);
    if (!ListAnswer::isListFile(answer)) {
        checkNames(ListAnswer::split(answer), answer);
    }

    const QString path = writeFuzzFile(bytes, "list.txt");
    QString error;
    const QStringList names = ListAnswer::split(path, &error);
    if (!error.isEmpty()) {
        fuzzFailure("a list file was not read", error);
    }
    if (QFileInfo::exists(path)) {
        fuzzFailure("a list file was left behind");
    }
    const QString line = ListAnswer::lastLine(answer);
    if (line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r'))) {
        fuzzFailure("the last line holds a line end", line);
    }
    checkNames(names, line);
    return 0;
}
