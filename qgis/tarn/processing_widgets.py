"""Widgets of the Processing algorithm that offer what the launcher offers: the store's
coefficient sets, read when the dialog opens, and the fields the analysis can read, never a
field that would fail. In models they are plain editable lists."""

from processing.gui.wrappers import DIALOG_MODELER, WidgetWrapper
from processing.tools import dataobjects
from qgis.core import (QgsProcessingFeatureSourceDefinition, QgsProcessingParameterDefinition,
                       QgsProcessingUtils, QgsVectorLayer)
from qgis.PyQt.QtWidgets import QComboBox

from . import tr
from .projectview import field_matches, readable_fields


class _ComboWrapper(WidgetWrapper):
    def _combo(self):
        combo = QComboBox()
        combo.setEditable(self.dialogType == DIALOG_MODELER)
        combo.currentTextChanged.connect(lambda: self.widgetValueHasChanged.emit(self))
        return combo

    def setValue(self, value):
        if value is None:
            return
        index = self.widget.findText(str(value))
        if index >= 0:
            self.widget.setCurrentIndex(index)
        elif self.widget.isEditable():
            self.widget.setEditText(str(value))

    def value(self):
        return self.widget.currentText() or None


class SetWrapper(_ComboWrapper):
    """The coefficient sets of the store as it is when the dialog opens; when the store
    cannot be listed, the reason instead of an empty list."""

    def createWidget(self):
        from .processing_provider import store_sets
        combo = self._combo()
        names, reason = store_sets()
        combo.addItems(names)
        if reason:
            text = tr("The coefficient sets cannot be listed: {}").format(reason)
            combo.setEditable(True)  # a name can still be typed
            combo.lineEdit().setPlaceholderText(text)
            if hasattr(self.dialog, "messageBar"):
                self.dialog.messageBar().pushWarning("TARN", text)
        return combo


class FieldWrapper(_ComboWrapper):
    """The fields of the parent layer the analysis can read, of the kinds the launcher
    offers (selector 2: text and whole numbers; 1: numbers), the first one chosen."""

    def createWidget(self, selector=2):
        self.selector = selector
        self.context = dataobjects.createContext()
        return self._combo()

    def postInitialize(self, wrappers):
        if self.dialogType == DIALOG_MODELER:
            return
        parent = self.parameterDefinition().parentLayerParameterName()
        for wrapper in wrappers:
            if wrapper.parameterDefinition().name() == parent:
                self.setLayer(wrapper.parameterValue())
                wrapper.widgetValueHasChanged.connect(
                    lambda changed: self.setLayer(changed.parameterValue()))

    def setLayer(self, value):
        if isinstance(value, QgsProcessingFeatureSourceDefinition):
            value = value.source.staticValue()
        layer = value if isinstance(value, QgsVectorLayer) else \
            QgsProcessingUtils.mapLayerFromString(value, self.context) if value else None
        names = [name for name, kind in readable_fields(layer)
                 if field_matches(kind, self.selector)] \
            if isinstance(layer, QgsVectorLayer) else []
        chosen = self.widget.currentText()
        self.widget.blockSignals(True)
        self.widget.clear()
        if self.parameterDefinition().flags() & QgsProcessingParameterDefinition.FlagOptional:
            self.widget.addItem("")
        self.widget.addItems(names)
        self.widget.setToolTip("" if names or layer is None else
                               tr("The layer has no field the analysis can read."))
        self.widget.blockSignals(False)
        self.widget.setCurrentIndex(self.widget.findText(chosen) if chosen in names
                                    else self.widget.findText(names[0]) if names else -1)
        self.widgetValueHasChanged.emit(self)
