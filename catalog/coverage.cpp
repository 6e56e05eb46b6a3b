#include "catalog/coverage.h"

std::optional<Coverage> coverageByName(const QString& name)
{
    if (name == QLatin1String("centre")) {
        return Coverage::Centre;
    }
    if (name == QLatin1String("exact")) {
        return Coverage::Exact;
    }
    if (name == QLatin1String("touched")) {
        return Coverage::Touched;
    }
    return std::nullopt;
}
