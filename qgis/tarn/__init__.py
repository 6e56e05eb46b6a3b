"""TARN inside QGIS: the host of the TARN programs, and a Processing algorithm."""

from qgis.PyQt.QtCore import QCoreApplication


def tr(text):
    """A text of the plugin for the user, translatable. Answers on the host link are not."""
    return QCoreApplication.translate("TARN", text)


def classFactory(iface):
    from .plugin import TarnPlugin
    return TarnPlugin(iface)
