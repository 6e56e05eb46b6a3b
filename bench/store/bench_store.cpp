// Times loading and saving a store of 1,000 sets x 100 classes, against `xmllint --noout`
// parsing the same file in the same run. Prints medians of several rounds and the ratios.

#include "model/store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double medianMs(int rounds, const std::function<bool()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!work()) {
            std::fprintf(stderr, "bench_store: a round failed\n");
            std::exit(1);
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

clsISModelProperties bigModel(int sets, int classes)
{
    clsISModelProperties model;
    for (int s = 0; s < sets; ++s) {
        auto set = std::make_shared<clsISLCDef>();
        set->LCType = QStringLiteral("Coefficient set %1").arg(s);
        for (int c = 0; c < classes; ++c) {
            auto row = std::make_shared<clsLCClass>();
            row->ID = c;
            row->LCName = QStringLiteral("Land cover class %1").arg(c);
            row->LCHigh = 100.0f / 3.0f;
            row->LCMed = 12.5f;
            row->LCLow = 0.75f;
            set->LCClasses->Add(row);
        }
        model.ISLCDefs->Add(set);
    }
    return model;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = 5;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("isprops.xml"));
    const clsISModelProperties model = bigModel(1000, 100);
    if (!SaveModelXML(model, path)) {
        std::fprintf(stderr, "bench_store: cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("store: 1000 sets x 100 classes, %.1f MB\n", double(QFileInfo(path).size()) / 1e6);

    const double xmllint = medianMs(rounds, [&] {
        return QProcess::execute(QStringLiteral("xmllint"), {QStringLiteral("--noout"), path}) == 0;
    });
    const double load = medianMs(rounds, [&] {
        clsISModelProperties loaded;
        return LoadModelXML(loaded, path) && loaded.ISLCDefs->Count() == 1000;
    });
    const double save = medianMs(rounds, [&] { return SaveModelXML(model, path); });

    std::printf("xmllint --noout  %8.1f ms\n", xmllint);
    std::printf("load             %8.1f ms   load / xmllint = %.2f  (goal <= 2)\n", load,
                load / xmllint);
    std::printf("save             %8.1f ms   save / load    = %.2f  (goal <= 2)\n", save,
                save / load);
    return 0;
}
