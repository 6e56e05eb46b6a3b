#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

class clsISModelProperties;

// model_params.txt: every choice of a run. The launcher writes it; tarn-analyze runs from it
// and tarnhost checks it before it answers a run request. The one owner of the format.
struct ModelParams {
    enum class Units { Meters, Feet };
    enum Coefficient { High = 0, Medium = 1, Low = 2, Calculate = 3 };

    struct Scenario {
        int number = 0; // the launcher's row number, for messages
        QString theme;
        QString className;
        qint32 classId = 0;
        bool operator==(const Scenario& other) const;
    };
    struct LCClass {
        qint32 id = 0;
        QString name;
        float high = 0;
        float medium = 0;
        float low = 0;
        bool operator==(const LCClass& other) const;
    };

    QString view;
    QString lcTheme;
    Units lcUnits = Units::Meters;
    QString analysisTheme;
    QString analysisUnit;
    int popDensity = High;
    // Only with Calculate. The thresholds go to the file as the user typed them.
    QString popDensityTheme;
    QString popDensityField;
    QString popDensityHighText;
    QString popDensityMedText[2];
    QString popDensityLowText;
    double popDensityHigh = 0; // the texts' values, filled by the reader
    double popDensityLow = 0;
    QString outTheme;
    QString outThemeName;
    QVector<Scenario> scenarios; // in file order; a later one wins
    QVector<LCClass> classes;    // in file order; the first of one value counts

    // Every key present once (DS and CLASS any number of times, CLASS at least once), numbers
    // in their plain decimal form, the density keys exactly when POPDENSITY is 3. On failure
    // *error holds a short reason such as "line 6: POPDENSITY must be 0, 1, 2 or 3".
    static std::optional<ModelParams> parse(const QByteArray& bytes, QString* error);
    // As parse(), but a missing or unreadable file is a failure too; *error then begins with
    // "Parameter file not found: " and the path, or names the file. A relative OUTTHEME is
    // taken from the file's folder.
    static std::optional<ModelParams> load(const QString& path, QString* error);

    // The file's bytes: UTF-8, every line ending in CR LF; the density lines only with
    // Calculate.
    QByteArray toBytes() const;

    // The CLASS lines of a run: every class of every set named lcType, in store order.
    static QVector<LCClass> classesOf(const clsISModelProperties& model, const QString& lcType);

    // Every field alike; what a written file read back must give.
    bool operator==(const ModelParams& other) const;

    static const QString FileName; // "model_params.txt"

    static QString unitsText(Units units);
    // Length of one unit in metres.
    static double metresPerUnit(Units units);
};
