#pragma once

#include "model/clslcclasses.h"

// One coefficient set, named by its land cover type.
class clsISLCDef {
public:
    QString LCType;
    LCClassesPtr LCClasses = std::make_shared<clsLCClasses>();

    static const char* NodeName() { return "ISLCDef"; }
    QString XML() const;
    bool setXML(const QString& strNewValue, XmlReadError* error = nullptr);
    XmlElement CreateNode(const XmlElement& Parent = {}) const;
    bool LoadNode(const XmlElement& node, XmlReadError* error = nullptr);

    static QString GetNodeText(const XmlElement& Parent, const char* ChildName);
};

using ISLCDefPtr = std::shared_ptr<clsISLCDef>;
