// The store loader on any file. A store that loads is saved and loaded again and must give
// the same file; a store that does not load must leave the model as it was.
#include "fuzzinput.h"
#include "model/store.h"

namespace {

// What the model held before: one set, so a load that touches it shows.
clsISModelProperties startingModel()
{
    clsISModelProperties model;
    auto set = std::make_shared<clsISLCDef>();
    set->LCType = QStringLiteral("Before");
    auto row = std::make_shared<clsLCClass>();
    row->ID = 7;
    row->LCName = QStringLiteral("Kept");
    row->LCHigh = 12.5f;
    set->LCClasses->Add(row);
    model.ISLCDefs->Add(set);
    return model;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QByteArray before = storeFileBytes(startingModel());

    clsISModelProperties model = startingModel();
    StoreLoadResult result;
    if (!LoadModelXML(model, writeFuzzFile(fuzzBytes(data, size)), &result)) {
        if (result.description.isEmpty()) {
            fuzzFailure("a failed load gives no reason");
        }
        if (storeFileBytes(model) != before) {
            fuzzFailure("a failed load changed the model", result.describe(QString()));
        }
        return 0;
    }

    const QByteArray saved = storeFileBytes(model);
    clsISModelProperties again;
    if (!LoadModelXML(again, writeFuzzFile(saved), &result)) {
        fuzzFailure("a saved store does not load", result.describe(QString()));
    }
    if (storeFileBytes(again) != saved) {
        fuzzFailure("a saved store loads as another model", QString::fromUtf8(saved));
    }
    return 0;
}
