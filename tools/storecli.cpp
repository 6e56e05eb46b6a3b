#include "tools/storecli.h"

#include "model/coefficientfile.h"
#include "model/store.h"
#include "model/storelocation.h"
#include "model/storelock.h"
#include "model/storemerge.h"

#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

namespace {

enum Exit { Success = 0, Refused = 1, Usage = 2 };

const char* const kUsage =
    "Usage: tarn-store [--store FILE] COMMAND [ARGUMENTS]\n"
    "\n"
    "Reads and changes a coefficient store. FILE defaults to the store the programs use:\n"
    "<program folder>/../etc/isprops.xml when that folder can be written, else the user's\n"
    "own store, $XDG_DATA_HOME/tarn/isprops.xml (~/.local/share/tarn/isprops.xml), made\n"
    "from the installation's store the first time it is needed.\n"
    "\n"
    "Commands:\n"
    "  where             the path of the store in use, and why it is that one\n"
    "  list              one set name per line, in store order\n"
    "  show NAME         the set as a coefficient text file on standard output\n"
    "  check             \"N sets, M classes\", or the reason the store does not load\n"
    "  format            load the store and save it again in the store layout\n"
    "  import CSV NAME   add the set NAME from a coefficient text file and save the store\n"
    "  export NAME CSV   write the set NAME to a coefficient text file\n"
    "  merge OTHER       add every set of another store file and save the store\n"
    "\n"
    "import and merge create the store when FILE does not exist. format, import and merge\n"
    "hold the lock file FILE.lock while they change the store (waiting up to 5 seconds for\n"
    "another program to finish), and leave an XML file that is not a store unchanged. A\n"
    "store whose lock file cannot be made (a folder you cannot write) is not changed.\n"
    "Exit status: 0 done, 1 data refused (reason on standard error), 2 usage error.\n";

void err(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
}

void out(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

int usage(const QString& problem)
{
    err(QStringLiteral("tarn-store: ") + problem);
    std::fputs(kUsage, stderr);
    return Usage;
}

struct Store {
    QString path;
    clsISModelProperties model;
    std::unique_ptr<StoreLock> lock;

    enum class Use {
        Read,
        // The command saves the store afterwards: the lock is held from the load to the save,
        // and an XML file that is not a store is refused rather than replaced.
        Change,
        ChangeOrCreate // as Change; a store that does not exist yet starts empty
    };

    bool load(Use use = Use::Read)
    {
        if (use != Use::Read) {
            lock = std::make_unique<StoreLock>(path);
            if (lock->lock() != StoreLock::Result::Locked) {
                err(lock->refusalMessage());
                return false;
            }
        }
        if (use == Use::ChangeOrCreate && !QFileInfo::exists(path)) {
            return true;
        }
        StoreLoadResult result;
        if (!LoadModelXML(model, path, &result)) {
            err(QStringLiteral("Failed To Load XML - ") + result.describe(path));
            return false;
        }
        if (use != Use::Read && !result.isStore()) {
            err(QStringLiteral("%1 is not a coefficient store: its root element is <%2>, not "
                               "<ISModelProperties>. The file was left unchanged.")
                    .arg(path, result.rootName));
            return false;
        }
        return true;
    }

    bool save()
    {
        QString why;
        if (!SaveModelXML(model, path, &why)) {
            err(saveFailureMessage(path));
            err(path + QStringLiteral(": ") + why);
            return false;
        }
        return true;
    }
};

int where(const StoreLocation& location)
{
    out(location.path);
    out(location.reason());
    return Success;
}

int list(Store& store)
{
    if (!store.load()) {
        return Refused;
    }
    for (const ISLCDefPtr& set : *store.model.ISLCDefs) {
        out(set->LCType);
    }
    return Success;
}

int show(Store& store, const QString& name)
{
    if (!store.load()) {
        return Refused;
    }
    const ISLCDefPtr set = store.model.ISLCDefs->find(name);
    if (!set) {
        err(QStringLiteral("No coefficient set named '%1' in %2.").arg(name, store.path));
        return Refused;
    }
    const QByteArray bytes = coefficientFileBytes(set.get());
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return Success;
}

int check(Store& store)
{
    if (!store.load()) {
        return Refused;
    }
    out(QStringLiteral("%1 sets, %2 classes")
            .arg(store.model.ISLCDefs->Count())
            .arg(store.model.classCount()));
    return Success;
}

int format(Store& store)
{
    return store.load(Store::Use::Change) && store.save() ? Success : Refused;
}

int importSet(Store& store, const QString& csv, const QString& typedName)
{
    const QString name = typedSetName(typedName);
    if (name.isEmpty()) {
        err(emptyNameMessage());
        return Refused;
    }
    if (!store.load(Store::Use::ChangeOrCreate)) {
        return Refused;
    }
    if (store.model.ISLCDefs->indexOf(name) > 0) {
        err(uniqueNameMessage());
        return Refused;
    }
    const ImportResult result = ImportCoefficientFile(store.model, csv, name);
    if (!result.ok()) {
        err(result.message(csv));
        if (result.line > 0) {
            err(QStringLiteral("%1:%2: %3").arg(csv).arg(result.line).arg(result.detail));
        }
        return Refused;
    }
    return store.save() ? Success : Refused;
}

int exportSet(Store& store, const QString& name, const QString& csv)
{
    if (!store.load()) {
        return Refused;
    }
    // The editor only offers names from its list; here a mistyped name must not give a
    // file with the header line alone.
    if (store.model.ISLCDefs->indexOf(name) == 0) {
        err(QStringLiteral("No coefficient set named '%1' in %2.").arg(name, store.path));
        return Refused;
    }
    QString why;
    if (!ExportCoefficientFile(store.model, csv, name, &why)) {
        err(cannotWriteMessage(csv, why));
        return Refused;
    }
    return Success;
}

int merge(Store& store, const QString& other)
{
    if (!store.load(Store::Use::ChangeOrCreate)) {
        return Refused;
    }
    const MergeResult result = MergeStoreFile(store.model, other);
    if (!result.loaded()) {
        err(result.load.status == StoreLoadResult::FileError
                ? cannotReadMessage(other, result.load.description)
                : mergeLoadFailureMessage());
        err(result.load.describe(other));
        return Refused;
    }
    const bool saved = store.save();
    if (result.duplicates) {
        err(duplicateNamesMessage());
    }
    if (!saved) {
        return Refused;
    }
    for (const QString& name : result.addedNames) {
        out(name);
    }
    return Success;
}

} // namespace

int runStoreCli(QStringList args)
{
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return Success;
    }
    QString given;
    if (!args.isEmpty() && args.first() == QLatin1String("--store")) {
        if (args.size() < 2 || args[1].isEmpty()) {
            return usage(QStringLiteral("--store needs a file"));
        }
        given = args[1];
        args = args.mid(2);
    }
    if (args.isEmpty()) {
        return usage(QStringLiteral("no command given"));
    }
    const QString command = args.takeFirst();
    struct Command {
        const char* name;
        int arguments;
    };
    const Command commands[] = {{"where", 0},  {"list", 0},   {"show", 1},   {"check", 0},
                                {"format", 0}, {"import", 2}, {"export", 2}, {"merge", 1}};
    const auto known = std::find_if(std::begin(commands), std::end(commands),
                                    [&](const Command& c) { return command == c.name; });
    if (known == std::end(commands)) {
        return usage(QStringLiteral("unknown command '%1'").arg(command));
    }
    if (args.size() != known->arguments) {
        return usage(
            QStringLiteral("'%1' takes %2 argument(s)").arg(command).arg(known->arguments));
    }
    const StoreLocation location = locateStore(given);
    if (command == QLatin1String("where")) {
        return where(location);
    }
    Store store;
    store.path = location.path;
    if (command == QLatin1String("list")) {
        return list(store);
    }
    if (command == QLatin1String("show")) {
        return show(store, args[0]);
    }
    if (command == QLatin1String("check")) {
        return check(store);
    }
    if (command == QLatin1String("format")) {
        return format(store);
    }
    if (command == QLatin1String("import")) {
        return importSet(store, args[0], args[1]);
    }
    if (command == QLatin1String("export")) {
        return exportSet(store, args[0], args[1]);
    }
    return merge(store, args[0]);
}
