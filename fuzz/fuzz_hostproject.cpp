// tarnhost's project description on any text: read, or refused with a reason, and every name
// read can cross the host link.
#include "catalog/hostproject.h"
#include "fuzzinput.h"

namespace {

void checkName(const QString& name)
{
    if (name.trimmed().isEmpty() || name.contains(QLatin1Char('#')) ||
        name.contains(QLatin1Char('"')) || name.contains(QLatin1Char('\\'))) {
        fuzzFailure("a name that cannot cross the host link was read", name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const auto project =
        HostProject::parse(fuzzBytes(data, size), QStringLiteral("/project"), &error);
    if (!project) {
        if (error.isEmpty()) {
            fuzzFailure("a refused project description gives no reason");
        }
        return 0;
    }
    checkName(project->viewName);
    for (const QString& grid : project->gridThemes) {
        checkName(grid);
    }
    for (const HostProject::Theme& theme : project->polygonThemes) {
        checkName(theme.name);
        for (const HostProject::Field& field : theme.fields) {
            checkName(field.name);
        }
    }
    if (project->listFileThreshold < 0) {
        fuzzFailure("a negative list file threshold was read");
    }
    return 0;
}
