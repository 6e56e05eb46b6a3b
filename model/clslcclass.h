#pragma once

#include "model/xmlelement.h"

#include <QString>
#include <memory>

// One land cover class of a coefficient set: its value in the land cover grid, its name,
// and its High, Medium and Low percent impervious.
class clsLCClass {
public:
    qint32 ID = 0;
    QString LCName;
    float LCHigh = 0;
    float LCMed = 0;
    float LCLow = 0;

    static const char* NodeName() { return "LCClass"; }
    QString XML() const;
    // Reads the text as a whole document into this object. Text that is not XML changes
    // nothing; false only when a value does not convert (error says which and where).
    bool setXML(const QString& strNewValue, XmlReadError* error = nullptr);
    XmlElement CreateNode(const XmlElement& Parent = {}) const;
    // Null node: nothing changes. False when the class value or a coefficient has no
    // numeric text; the fields read before that point keep what they received.
    bool LoadNode(const XmlElement& node, XmlReadError* error = nullptr);

    static QString GetNodeText(const XmlElement& Parent, const char* ChildName);
};

using LCClassPtr = std::shared_ptr<clsLCClass>;
