#pragma once

#include <QString>

// A problem that ends the run, with its one-line message for the user. Thrown inside the
// analysis only; ImperviousAnalysis::run() turns it into its result.
struct AnalysisError {
    QString message;
};

[[noreturn]] inline void fail(const QString& message)
{
    throw AnalysisError{message};
}
