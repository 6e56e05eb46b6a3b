// The coefficient text import on any file. A failed import leaves the model as it was; a
// set that imports is exported and imported again as the same set.
#include "fuzzinput.h"
#include "model/coefficientfile.h"
#include "model/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    clsISModelProperties model;
    const QString name = QStringLiteral("Imported");
    const ImportResult result =
        ImportCoefficientFile(model, writeFuzzFile(fuzzBytes(data, size)), name);
    if (!result.ok()) {
        if (model.ISLCDefs->Count() != 0) {
            fuzzFailure("a failed import changed the model", result.message(QString()));
        }
        if (result.line < 0 || result.detail.isEmpty()) {
            fuzzFailure("a failed import gives no reason", result.message(QString()));
        }
        return 0;
    }
    if (model.ISLCDefs->Count() != 1 || model.ISLCDefs->Item(1)->LCType != name) {
        fuzzFailure("an import did not add one set of the name given");
    }

    const QByteArray exported = coefficientFileBytes(model.ISLCDefs->Item(1).get());
    clsISModelProperties again;
    const ImportResult second = ImportCoefficientFile(again, writeFuzzFile(exported), name);
    if (!second.ok()) {
        fuzzFailure("an exported set does not import", second.message(QString()));
    }
    if (coefficientFileBytes(again.ISLCDefs->Item(1).get()) != exported) {
        fuzzFailure("an exported set imports as another set", QString::fromUtf8(exported));
    }
    // The store keeps what the import read.
    if (storeFileBytes(again) != storeFileBytes(model)) {
        fuzzFailure("an exported set stores differently", QString::fromUtf8(exported));
    }
    return 0;
}
