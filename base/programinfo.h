#pragma once

#include <QString>

// Where a program finds the files of its installation, and its --version line.

// <program folder>/../<beside> when that exists (a build tree or an installation under one
// prefix: bin/, etc/, help/); else <program folder>/../share/tarn/<shared> when that exists
// (a system package, programs in /usr/bin); else the first, for the messages that name it.
// The ".." stays in the path. programFolder defaults to the running program's.
QString installedFile(const QString& beside, const QString& shared,
                      const QString& programFolder = QString());

// "PROGRAM (TARN) VERSION".
QString versionLine(const QString& program);

// Answers a first argument --version (and --help, -h when usage is given) before a program
// starts anything else, so that both work without a display. True when it answered; the
// program then ends with status 0.
bool answerVersionOrHelp(int argc, char* argv[], const char* program, const char* usage);
