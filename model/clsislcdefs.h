#pragma once

#include "model/clsislcdef.h"
#include "model/reflist.h"

// All coefficient sets, in store order.
class clsISLCDefs : public RefList<clsISLCDef> {
public:
    static const char* NodeName() { return "ISLCDefs"; }
    QString XML() const;
    bool setXML(const QString& strNewValue, XmlReadError* error = nullptr);
    XmlElement CreateNode(const XmlElement& Parent = {}) const;
    bool LoadNode(const XmlElement& node, XmlReadError* error = nullptr);

    // The first set of that name, letter case included; null when there is none.
    ISLCDefPtr find(const QString& lcType) const;
    // Position (1-based) of the first set of that name, 0 when there is none.
    qint32 indexOf(const QString& lcType) const;
};

using ISLCDefsPtr = std::shared_ptr<clsISLCDefs>;
