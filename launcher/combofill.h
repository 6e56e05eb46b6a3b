#pragma once

#include "hostlink/hostrequest.h"
#include "model/clsismodelproperties.h"

#include <QString>

class HostQueries;
class QComboBox;

// Fill the launcher's drop-down lists. None of them selects an entry: a QComboBox would
// select its first item by itself, and clear() would announce an empty selection, so both
// happen without signals and the list is left without a selection.

// kind 2: grid themes of the view; kind 1: polygon themes for the selector; other kinds
// leave the list empty.
void FillThemeCombo(QComboBox& list, HostQueries& host, int kind, const QString& view,
                    HostRequest::ThemeSelector selector);

// The fields of a theme; a message when it has none.
void FillFieldCombo(QComboBox& list, HostQueries& host, const QString& theme, const QString& view,
                    HostRequest::ThemeSelector selector);

// The class names of the first set named lcType, each with its class value as item data.
void FillClassCombo(QComboBox& list, const clsISModelProperties& model, const QString& lcType);

// Replaces the entries of list with texts, selecting none.
void setComboEntries(QComboBox& list, const QStringList& texts);
