#include "model/clsislcdef.h"

QString clsISLCDef::XML() const
{
    return modelxml::xml(*this);
}

bool clsISLCDef::setXML(const QString& strNewValue, XmlReadError* error)
{
    return modelxml::setXml(*this, strNewValue, error);
}

XmlElement clsISLCDef::CreateNode(const XmlElement& Parent) const
{
    const XmlElement element = modelxml::newElement<clsISLCDef>(Parent);
    element.appendChild("LCType").setText(LCType); // AddElement
    LCClasses->CreateNode(element);
    return element;
}

bool clsISLCDef::LoadNode(const XmlElement& node, XmlReadError* error)
{
    if (node.isNull()) {
        return true;
    }
    LCType = GetNodeText(node, "LCType");
    return LCClasses->LoadNode(node.firstChild(clsLCClasses::NodeName()), error);
}

QString clsISLCDef::GetNodeText(const XmlElement& Parent, const char* ChildName)
{
    return clsLCClass::GetNodeText(Parent, ChildName);
}
