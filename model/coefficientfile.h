#pragma once

#include "model/clsismodelproperties.h"

#include <QString>

// The coefficient text file: comma-separated lines "Value,ClassName,High,Medium,Low", no
// quoting of any kind. Import and export of one coefficient set, used by the editor's
// windows and by tarn-store alike.

QString coefficientFileHeader(); // "Value,ClassName,High,Medium,Low"

// The file for a set: the header line, then one line per class row, each ended by CR LF.
// Without a set, the header line alone.
QByteArray coefficientFileBytes(const clsISLCDef* set);

// Writes the first set named name (letter case included) to path, replacing the file
// atomically; the header line alone when there is no such set. False with a reason when
// the file cannot be written; the model is never changed.
bool ExportCoefficientFile(const clsISModelProperties& model, const QString& path,
                           const QString& name, QString* error = nullptr);

struct ImportResult {
    enum Status {
        Ok,
        FieldCount,     // a line without exactly five fields
        NotNumeric,     // Value or a coefficient that is not a number
        BadValue,       // Value negative, with a fraction or beyond 32 bits
        BadCoefficient, // a coefficient outside 0-100
        FileError       // the file could not be opened or read
    };
    Status status = Ok;
    int line = 0;   // the line at fault
    QString detail; // what was wrong with it, or why the file could not be read

    bool ok() const { return status == Ok; }
    // The message the user sees, naming the file as given.
    QString message(const QString& path) const;
};

// Appends a new set named name to the model and fills it from the file, line by line; on any
// failure the set is removed again, so the model is as before. Name checks are the caller's.
ImportResult ImportCoefficientFile(clsISModelProperties& model, const QString& path,
                                   const QString& name);

// A set name as typed, ready for the uniqueness test: outer blanks removed, since the store
// reader drops them too. Blanks only give the empty name.
QString typedSetName(const QString& typed);

QString uniqueNameMessage(); // "Coefficient Set name must be unique. Please reenter."
QString emptyNameMessage();  // "Coefficient Set name must not be empty."

// "The file '<path>' could not be read: <reason>." and its writing twin.
QString cannotReadMessage(const QString& path, const QString& reason);
QString cannotWriteMessage(const QString& path, const QString& reason);
