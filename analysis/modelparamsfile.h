#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// model_params.txt as the launcher writes it, read back and checked. The one reader of the
// format: tarn-analyze runs from it and tarnhost checks it before it answers a run request.
struct ModelParamsFile {
    enum class Units { Meters, Feet };
    enum Coefficient { High = 0, Medium = 1, Low = 2, Calculate = 3 };

    struct Scenario {
        int number = 0; // the launcher's row number, for messages
        QString theme;
        QString className;
        qint32 classId = 0;
    };
    struct LCClass {
        qint32 id = 0;
        QString name;
        float high = 0;
        float medium = 0;
        float low = 0;
    };

    QString view;
    QString lcTheme;
    Units lcUnits = Units::Meters;
    QString analysisTheme;
    QString analysisUnit;
    int popDensity = High;
    // Only with Calculate.
    QString popDensityTheme;
    QString popDensityField;
    double popDensityHigh = 0;
    double popDensityLow = 0;
    QString outTheme;
    QString outThemeName;
    QVector<Scenario> scenarios; // in file order; a later one wins
    QVector<LCClass> classes;    // in file order; the first of one value counts

    // Every key present once (DS and CLASS any number of times, CLASS at least once), numbers
    // in their plain decimal form, the density keys exactly when POPDENSITY is 3. On failure
    // *error holds a short reason such as "line 6: POPDENSITY must be 0, 1, 2 or 3".
    static std::optional<ModelParamsFile> parse(const QByteArray& bytes, QString* error);
    // As parse(), but a missing or unreadable file is a failure too; *error then begins with
    // "Parameter file not found: " and the path, or names the file. A relative OUTTHEME is
    // taken from the file's folder.
    static std::optional<ModelParamsFile> load(const QString& path, QString* error);

    static const QString FileName; // "model_params.txt"

    static QString unitsText(Units units);
    // Length of one unit in metres.
    static double metresPerUnit(Units units);
};
