#pragma once

#include "model/clsislcdefs.h"

// The root of the coefficient model: every coefficient set of the store.
class clsISModelProperties {
public:
    ISLCDefsPtr ISLCDefs = std::make_shared<clsISLCDefs>();

    static const char* NodeName() { return "ISModelProperties"; }
    QString XML() const;
    bool setXML(const QString& strNewValue, XmlReadError* error = nullptr);
    XmlElement CreateNode(const XmlElement& Parent = {}) const;
    // Reads the sets of the first ISLCDefs child; without one the sets stay as they are.
    bool LoadNode(const XmlElement& node, XmlReadError* error = nullptr);

    // Number of class rows over all sets.
    qint64 classCount() const;
};

// Clears the list and adds the name of every set, in store order. Works with any list that
// has clear() and addItem(QString), such as QComboBox; selects nothing itself, but a
// QComboBox selects its first item when filled, so callers set the selection they want.
template <typename List> void FillLCTypeCombo(List& list, const clsISModelProperties& model)
{
    list.clear();
    for (const ISLCDefPtr& set : *model.ISLCDefs) {
        list.addItem(set->LCType);
    }
}
