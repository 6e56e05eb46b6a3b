#include "model/clslcclasses.h"

QString clsLCClasses::XML() const
{
    return modelxml::xml(*this);
}

bool clsLCClasses::setXML(const QString& strNewValue, XmlReadError* error)
{
    return modelxml::setXml(*this, strNewValue, error);
}

XmlElement clsLCClasses::CreateNode(const XmlElement& Parent) const
{
    const XmlElement element = modelxml::newElement<clsLCClasses>(Parent);
    writeItems(element);
    return element;
}

bool clsLCClasses::LoadNode(const XmlElement& node, XmlReadError* error)
{
    return readItems(node, error);
}
