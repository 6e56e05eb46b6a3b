#include "model/coefficientfile.h"

#include "base/numbertext.h"
#include "base/textcodec.h"
#include "model/store.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QString kExpecting = QStringLiteral(
    "Expecting an ascii comma-separated file containing rows with the following columns "
    "'Value,ClassName,High,Medium,Low'. All fields must be numeric except 'ClassName'.");

// Only the space character counts as a blank at the ends of a line; tabs stay.
QString stripSpaces(const QString& line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && line[begin] == u' ') {
        ++begin;
    }
    while (end > begin && line[end - 1] == u' ') {
        --end;
    }
    return line.mid(begin, end - begin);
}

ImportResult failure(ImportResult::Status status, int line, const QString& detail)
{
    ImportResult r;
    r.status = status;
    r.line = line;
    r.detail = detail;
    return r;
}

// Checks one line's fields in order and fills row; Ok when the line is good.
ImportResult readRow(const QStringList& fields, int line, clsLCClass& row)
{
    double value = 0;
    if (!parseDecimal(fields[0], &value)) {
        return failure(ImportResult::NotNumeric, line,
                       QStringLiteral("Value \"%1\" is not a number").arg(fields[0]));
    }
    if (value < 0 || value != std::floor(value) || !parseClassValue(fields[0], &row.ID)) {
        return failure(ImportResult::BadValue, line,
                       QStringLiteral("Value \"%1\" is not a whole number from 0 to 2147483647")
                           .arg(fields[0]));
    }
    row.LCName = fields[1];
    const char* const names[] = {"High", "Medium", "Low"};
    float* const targets[] = {&row.LCHigh, &row.LCMed, &row.LCLow};
    for (int i = 0; i < 3; ++i) {
        const QString& field = fields[2 + i];
        double coefficient = 0;
        if (!parseDecimal(field, &coefficient)) {
            return failure(
                ImportResult::NotNumeric, line,
                QStringLiteral("%1 \"%2\" is not a number").arg(QLatin1String(names[i]), field));
        }
        if (coefficient < 0 || coefficient > 100) {
            return failure(ImportResult::BadCoefficient, line,
                           QStringLiteral("%1 \"%2\" is not from 0 to 100")
                               .arg(QLatin1String(names[i]), field));
        }
        *targets[i] = float(coefficient);
    }
    return {};
}

} // namespace

QString coefficientFileHeader()
{
    return QStringLiteral("Value,ClassName,High,Medium,Low");
}

QByteArray coefficientFileBytes(const clsISLCDef* set)
{
    QString text = coefficientFileHeader() + QStringLiteral("\r\n");
    if (set) {
        for (const LCClassPtr& row : *set->LCClasses) {
            text += formatClassValue(row->ID) + u',' + row->LCName + u',' +
                    formatCoefficient(row->LCHigh) + u',' + formatCoefficient(row->LCMed) + u',' +
                    formatCoefficient(row->LCLow) + QStringLiteral("\r\n");
        }
    }
    return text.toUtf8();
}

bool ExportCoefficientFile(const clsISModelProperties& model, const QString& path,
                           const QString& name, QString* error)
{
    const ISLCDefPtr set = model.ISLCDefs->find(name);
    return writeFileAtomically(path, coefficientFileBytes(set.get()), error);
}

QString ImportResult::message(const QString& path) const
{
    switch (status) {
    case Ok:
        return {};
    case FieldCount:
        return QStringLiteral("Incorrect number of fields detected in your import file ") + path +
               QStringLiteral(". ") + kExpecting;
    case NotNumeric:
        return QStringLiteral("Invalid or incorrectly formated data in import file ") + path +
               QStringLiteral(". ") + kExpecting;
    case BadValue:
        return QStringLiteral("Invalid class ID in the Value column within import file ") + path +
               QStringLiteral(". Class ID must be a positive integer. ") + kExpecting;
    case BadCoefficient:
        return QStringLiteral("Invalid coefficient in import file ") + path +
               QStringLiteral(". Coefficients must be between 0-100 (inclusive). ") + kExpecting;
    case FileError:
        return cannotReadMessage(path, detail);
    }
    return {};
}

ImportResult ImportCoefficientFile(clsISModelProperties& model, const QString& path,
                                   const QString& name)
{
    // The whole file is read before the model changes: the encoding is known only then.
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        return failure(ImportResult::FileError, 0, QStringLiteral("it is a folder"));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return failure(ImportResult::FileError, 0, file.errorString());
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return failure(ImportResult::FileError, 0, file.errorString());
    }
    file.close();

    auto set = std::make_shared<clsISLCDef>();
    set->LCType = name;
    model.ISLCDefs->Add(set);

    const QStringList lines = splitLines(decodeText(bytes));
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        const QStringList fields = stripSpaces(lines[i]).split(u',');
        ImportResult result;
        if (fields.size() != 5) {
            result = failure(ImportResult::FieldCount, lineNumber,
                             QStringLiteral("%1 fields where 5 are expected").arg(fields.size()));
        } else if (fields[0].toUpper() == QLatin1String("VALUE")) {
            continue; // a header line, wherever it stands
        } else {
            auto row = std::make_shared<clsLCClass>();
            result = readRow(fields, lineNumber, *row);
            if (result.ok()) {
                set->LCClasses->Add(row);
                continue;
            }
        }
        model.ISLCDefs->Remove(model.ISLCDefs->Count());
        return result;
    }
    return {};
}

QString typedSetName(const QString& typed)
{
    return typed.trimmed();
}

QString uniqueNameMessage()
{
    return QStringLiteral("Coefficient Set name must be unique. Please reenter.");
}

QString emptyNameMessage()
{
    return QStringLiteral("Coefficient Set name must not be empty.");
}

QString cannotReadMessage(const QString& path, const QString& reason)
{
    return QStringLiteral("The file '%1' could not be read: %2.").arg(path, reason);
}

QString cannotWriteMessage(const QString& path, const QString& reason)
{
    return QStringLiteral("The file '%1' could not be written: %2.").arg(path, reason);
}
