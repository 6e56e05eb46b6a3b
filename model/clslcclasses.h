#pragma once

#include "model/clslcclass.h"
#include "model/reflist.h"

// The class rows of one coefficient set.
class clsLCClasses : public RefList<clsLCClass> {
public:
    static const char* NodeName() { return "LCClasses"; }
    QString XML() const;
    bool setXML(const QString& strNewValue, XmlReadError* error = nullptr);
    XmlElement CreateNode(const XmlElement& Parent = {}) const;
    // Replaces the list with the LCClass children of node; a row that fails to convert is
    // not appended and ends the load with false.
    bool LoadNode(const XmlElement& node, XmlReadError* error = nullptr);
};

using LCClassesPtr = std::shared_ptr<clsLCClasses>;
