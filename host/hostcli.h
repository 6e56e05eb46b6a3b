#pragma once

#include <QStringList>

// The tarnhost command line (arguments as QCoreApplication::arguments() gives them):
// serve or start from a project description or a data folder, or send a command or request
// as a client. Needs a QCoreApplication; runs its event loop while serving. Returns the exit
// status.
int runHostCli(const QStringList& arguments);
