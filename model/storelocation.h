#pragma once

#include <QString>

// Which coefficient store a program uses. The same rule in every program:
//  1. the file named on its command line (--store FILE), where the program has that option;
//  2. the store beside the programs, <bin>/../etc/isprops.xml, when that folder can be
//     written (a build tree, an installation under a prefix its user owns), unless the
//     installation is a system package's (its store in <bin>/../share/tarn, none in etc/);
//  3. otherwise the user's own store, $XDG_DATA_HOME/tarn/isprops.xml (~/.local/share/tarn),
//     made from the installation's store the first time it is needed, so that an
//     installation nobody may write still gives each user a store to change.
struct StoreLocation {
    enum class Kind {
        Given,          // --store FILE
        BesidePrograms, // <bin>/../etc/isprops.xml
        User,           // the user's own store
        Installation    // the user's store could not be made: the installation's, read only
    };
    Kind kind = Kind::BesidePrograms;
    QString path;     // the store in use
    QString userPath; // the user's own store, whether in use or not
    QString note;     // why the user's store is not in use, for kind Installation

    // Why this store is the one ("beside the programs"), and the path with it, for logs.
    QString reason() const;
    QString describe() const;
};

// given: the --store argument, empty when there is none. programFolder and dataHome default
// to the running program's folder and userDataHome(); tests pass their own.
StoreLocation locateStore(const QString& given = QString(),
                          const QString& programFolder = QString(),
                          const QString& dataHome = QString());

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
QString userDataHome();

// The user's own store: userDataHome()/tarn/isprops.xml.
QString userStorePath(const QString& dataHome = QString());
