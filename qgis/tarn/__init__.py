"""TARN inside QGIS: the host of the TARN programs, and a Processing algorithm."""


def classFactory(iface):
    from .plugin import TarnPlugin
    return TarnPlugin(iface)
