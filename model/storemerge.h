#pragma once

#include "model/store.h"

#include <QStringList>

struct MergeResult {
    StoreLoadResult load;    // status Ok when the other file was read
    QStringList addedNames;  // names of the sets added, in the other file's order
    bool duplicates = false; // some set had to be renamed

    bool loaded() const { return load.status == StoreLoadResult::Ok; }
};

// Adds a copy of every set of the store file at path to model, at the end. A name already
// taken (letter case and blanks count) gets "2" appended until it is free, so no two sets
// share a name. Nothing is added when the file does not load. Saving is the caller's.
MergeResult MergeStoreFile(clsISModelProperties& model, const QString& path);

// "Coefficient sets were found with the duplicate names. A '2' was appended to the names of
// all duplicates."
QString duplicateNamesMessage();
