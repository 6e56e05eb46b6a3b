#pragma once

#include <QStringList>

// The tarn-store command line: runs the command the arguments (after the program's name)
// give on a coefficient store, through the same procedures as the editor, printing to
// standard output and error. Returns the exit status: 0 done, 1 data refused, 2 usage error.
int runStoreCli(QStringList args);
