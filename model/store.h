#pragma once

#include "model/clsismodelproperties.h"

#include <QString>

// The store: where it lies, how it is read and written, and the fixed texts shown when
// that fails.

// <program folder>/../etc/isprops.xml, built anew at each use; the ".." stays in the path.
QString StorePath();

struct StoreLoadResult {
    enum Status { Ok, FileError, ParseError, ConversionError };
    Status status = Ok;
    int line = 0; // where the reader stopped, 0 when not known
    QString description;
    QString rootName;     // the document's root element, once the file parsed
    QByteArray fileBytes; // the file as read, to tell later whether it was written since

    // The root element a store file has; a file with another one is some other document.
    bool isStore() const { return rootName == QLatin1String("ISModelProperties"); }

    // "FILE:LINE: description", for logs and the command line.
    QString describe(const QString& path) const;
};

// Fills model from the file. False, with the model untouched, when the file is missing,
// unreadable or not well-formed, or when a class row does not convert.
bool LoadModelXML(clsISModelProperties& model, const QString& path,
                  StoreLoadResult* result = nullptr);

// The bytes of the store file for the model: one tag or text per line, CR LF.
QByteArray storeFileBytes(const clsISModelProperties& model);

// Writes the whole model to the store file, atomically. False (and the old file left as it
// was) when the file is read-only, its folder is missing, not a folder or cannot be written,
// or the disk is full. Callers hold the store's lock (StoreLock).
bool SaveModelXML(const clsISModelProperties& model, const QString& path, QString* error = nullptr);
bool SaveModelXML(const clsISModelProperties& model);

// Replaces the file with bytes through a temporary file and a rename, so a failure never
// leaves a half-written file. A file without write permission is refused, even for root.
// The reason is the system's own ("No space left on device"). In a folder the user cannot
// write, a writable file is written in place.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error);

// The same for a store, never in place: where the folder does not allow the rename, the
// store is not written. Two programs writing in place could each leave half of the other's
// file, and a full disk a truncated store.
bool writeStoreFile(const QString& path, const QByteArray& bytes, QString* error);

// The whole file; false with the reason when it is missing, a folder or unreadable.
bool readFileBytes(const QString& path, QByteArray* bytes, QString* error);

// Messages the callers of the store procedures show.
QString editorLoadFailureMessage();
QString launcherLoadFailureMessage();
// The old message (one of the two above) for the store beside the programs, which it
// describes; for a store elsewhere (the user's own) it is followed by that store's path and
// the reason, since the old text sends the user to the wrong folder.
QString storeLoadFailureMessage(const QString& oldMessage, const QString& storePath,
                                const StoreLoadResult& result);
QString mergeLoadFailureMessage();
QString saveFailureMessage(const QString& storePath);
QString saveFailureMessage(); // for the store path
