"""Where the TARN programs are, and the plugin's other settings."""

import os
import shutil

from qgis.core import QgsSettings
from qgis.PyQt.QtCore import QDir, QStandardPaths

KEY = "tarn/"
PLUGIN_DIR = os.path.dirname(os.path.abspath(__file__))
# Written by scripts/install.sh: the bin folder of the installation.
INSTALL_RECORD = os.path.join(PLUGIN_DIR, "programs.txt")
# tarn-analyze's rules for the cells of a polygon (--coverage), the first its default.
COVERAGES = [("centre", "Cell centre inside the polygon"),
             ("exact", "Share of each cell inside the polygon"),
             ("touched", "Every cell the polygon touches")]


def value(name, default=""):
    return QgsSettings().value(KEY + name, default)


def set_value(name, data):
    QgsSettings().setValue(KEY + name, data)


def installed_folder():
    try:
        with open(INSTALL_RECORD, encoding="utf-8") as record:
            return record.read().strip()
    except OSError:
        return ""


def package_folder(plugin_dir=PLUGIN_DIR):
    """PREFIX/bin when the plugin lies in PREFIX/share/qgis/python/plugins, where a system
    package puts it (/usr/bin for Debian's), else ""."""
    parts = os.path.normpath(plugin_dir).split(os.sep)
    if parts[-5:-1] == ["share", "qgis", "python", "plugins"]:
        return os.sep.join(parts[:-5] + ["bin"]) or os.sep
    return ""


def find_program(name):
    """The folder recorded at install time, then the one set in Settings, then the
    package's bin folder, then the PATH (which QGIS started from a desktop menu may lack);
    None when none has it."""
    for folder in (installed_folder(), value("programFolder"), package_folder()):
        if folder:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    return shutil.which(name)


def default_work_folder():
    """A "TARN" folder in the user's documents: never in the QGIS profile, which a user may
    throw away (scripts/run.sh qgis does, at exit)."""
    documents = QStandardPaths.writableLocation(QStandardPaths.DocumentsLocation)
    return os.path.join(documents or QDir.homePath(), "TARN")


def work_folder():
    """The working directory for unsaved or read-only projects: Settings, else
    default_work_folder()."""
    return value("workFolder") or default_work_folder()


def coverage():
    """The coverage rule set in Settings, for every run the plugin hosts."""
    rule = value("coverage")
    return rule if rule in dict(COVERAGES) else COVERAGES[0][0]


def keep_fields():
    """Whether outputs keep every field of the polygon layer (tarn-analyze --keep-fields)."""
    return QgsSettings().value(KEY + "keepFields", False, type=bool)


def watershed_classes():
    """Whether runs add the impervious cover model's classes (tarn-analyze --icm) and their
    results are coloured by them."""
    return QgsSettings().value(KEY + "watershedClasses", False, type=bool)
