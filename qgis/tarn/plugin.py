"""The TARN menu, toolbar button and Settings dialog in QGIS."""

import os

from qgis.core import Qgis, QgsApplication
from qgis.gui import QgsApplicationExitBlockerInterface, QgsFileWidget
from qgis.PyQt.QtGui import QIcon
from qgis.PyQt.QtWidgets import (QAction, QCheckBox, QComboBox, QDialog, QDialogButtonBox,
                                 QFormLayout, QLabel, QMenu, QMessageBox, QPushButton,
                                 QToolButton)

from . import settings, tr
from .host import Host
from .processing_provider import TarnProvider

MENU = "&TARN"
PROGRAMS = ("tarn", "tarnProps", "tarn-analyze", "tarn-store")


class SettingsDialog(QDialog):
    def __init__(self, parent=None):
        super().__init__(parent)
        self.setWindowTitle(tr("TARN Settings"))
        form = QFormLayout(self)
        self.programs = QgsFileWidget()
        self.programs.setStorageMode(QgsFileWidget.GetDirectory)
        self.programs.setFilePath(settings.value("programFolder"))
        self.work = QgsFileWidget()
        self.work.setStorageMode(QgsFileWidget.GetDirectory)
        self.work.setFilePath(settings.value("workFolder"))
        self.work.lineEdit().setPlaceholderText(settings.work_folder())
        form.addRow(tr("Folder of the TARN programs:"), self.programs)
        form.addRow(tr("Working folder for unsaved projects:"), self.work)
        self.coverage = QComboBox()
        for rule, text in settings.COVERAGES:
            self.coverage.addItem(tr(text), rule)
        self.coverage.setCurrentIndex(self.coverage.findData(settings.coverage()))
        form.addRow(tr("Coverage rule:"), self.coverage)
        self.keep_fields = QCheckBox(tr("Keep every field of the polygon layer in the output"))
        self.keep_fields.setChecked(settings.keep_fields())
        form.addRow("", self.keep_fields)
        self.watershed = QCheckBox(tr("Add the impervious cover model's classes (ICM_CLASS) "
                                      "and colour results by them"))
        self.watershed.setChecked(settings.watershed_classes())
        form.addRow("", self.watershed)
        self.found = QLabel()
        form.addRow(tr("Programs found:"), self.found)
        self.programs.fileChanged.connect(self.show_found)
        buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Cancel)
        buttons.accepted.connect(self.accept)
        buttons.rejected.connect(self.reject)
        form.addRow(buttons)
        self.show_found()

    def show_found(self):
        saved = settings.value("programFolder")
        settings.set_value("programFolder", self.programs.filePath())
        self.found.setText("\n".join("%s: %s" % (name, settings.find_program(name)
                                                 or tr("not found")) for name in PROGRAMS))
        settings.set_value("programFolder", saved)

    def accept(self):
        settings.set_value("programFolder", self.programs.filePath())
        settings.set_value("workFolder", self.work.filePath())
        settings.set_value("coverage", self.coverage.currentData())
        settings.set_value("keepFields", self.keep_fields.isChecked())
        settings.set_value("watershedClasses", self.watershed.isChecked())
        super().accept()


class ExitBlocker(QgsApplicationExitBlockerInterface):
    """QGIS asks before it exits, from its close box and from Exit alike: the programs end
    as their Quit would, and one the user keeps open keeps QGIS open."""

    def __init__(self, host):
        super().__init__()
        self.host = host

    def allowExit(self):
        return self.host.allow_exit()


class TarnPlugin:
    def __init__(self, iface):
        self.iface = iface
        self.host = None
        self.provider = None
        self.actions = []
        self.button = None
        self.blocker = None

    def initProcessing(self):
        if self.provider is None:
            self.provider = TarnProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def notify(self, text, level=Qgis.Info):
        self.iface.messageBar().pushMessage("TARN", text, level, 0 if level == Qgis.Critical
                                            else 10)

    def ask(self, text):
        """A question as QGIS's own dialogs ask it: Yes or No, No the default."""
        return QMessageBox.question(self.iface.mainWindow(), tr("TARN"), text,
                                    QMessageBox.Yes | QMessageBox.No,
                                    QMessageBox.No) == QMessageBox.Yes

    def offer_reopen(self):
        bar = self.iface.messageBar()
        item = bar.createMessage("TARN", tr("The project's layers changed since the launcher "
                                            "listed them."))
        button = QPushButton(tr("Reopen the launcher"))
        button.clicked.connect(lambda: (bar.popWidget(item), self.host.reopen_launcher()))
        item.layout().addWidget(button)
        bar.pushWidget(item, Qgis.Info, 0)

    def initGui(self):
        self.initProcessing()
        self.host = Host(self.notify, ask=self.ask)
        self.host.layers_changed.connect(self.offer_reopen)
        self.blocker = ExitBlocker(self.host)
        self.iface.registerApplicationExitBlocker(self.blocker)
        icon = QIcon(os.path.join(settings.PLUGIN_DIR, "icon.svg"))
        window = self.iface.mainWindow()
        entries = [(tr("Impervious Surface Analysis…"), lambda: self.host.start("tarn")),
                   (tr("Coefficient Sets…"), lambda: self.host.start("tarnProps")),
                   (tr("Settings…"), lambda: SettingsDialog(window).exec_())]
        menu = QMenu("TARN", window)
        for text, slot in entries:
            action = QAction(icon if not self.actions else QIcon(), text, window)
            action.triggered.connect(slot)
            self.iface.addPluginToMenu(MENU, action)
            menu.addAction(action)
            self.actions.append(action)
        self.button = QToolButton()
        self.button.setMenu(menu)
        self.button.setDefaultAction(self.actions[0])
        self.button.setPopupMode(QToolButton.MenuButtonPopup)
        self.toolbar_action = self.iface.addToolBarWidget(self.button)

    def unload(self):
        if self.blocker:
            self.iface.unregisterApplicationExitBlocker(self.blocker)
            self.blocker = None
        if self.host:
            self.host.stop()
        for action in self.actions:
            self.iface.removePluginMenu(MENU, action)
        if self.button:
            self.iface.removeToolBarIcon(self.toolbar_action)
        if self.provider:
            QgsApplication.processingRegistry().removeProvider(self.provider)
        self.actions, self.button, self.provider, self.host = [], None, None, None
