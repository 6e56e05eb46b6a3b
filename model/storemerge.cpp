#include "model/storemerge.h"

MergeResult MergeStoreFile(clsISModelProperties& model, const QString& path)
{
    MergeResult result;
    clsISModelProperties other;
    if (!LoadModelXML(other, path, &result.load)) {
        return result;
    }
    for (const ISLCDefPtr& source : *other.ISLCDefs) {
        QString name = source->LCType;
        while (model.ISLCDefs->indexOf(name) > 0) {
            name += QLatin1Char('2');
            result.duplicates = true;
        }
        auto copy = std::make_shared<clsISLCDef>();
        copy->LCType = name;
        for (const LCClassPtr& row : *source->LCClasses) {
            copy->LCClasses->Add(std::make_shared<clsLCClass>(*row));
        }
        model.ISLCDefs->Add(copy);
        result.addedNames.append(name);
    }
    return result;
}

QString duplicateNamesMessage()
{
    return QStringLiteral("Coefficient sets were found with the duplicate names. A '2' was "
                          "appended to the names of all duplicates.");
}
