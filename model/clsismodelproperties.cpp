#include "model/clsismodelproperties.h"

QString clsISModelProperties::XML() const
{
    return modelxml::xml(*this);
}

bool clsISModelProperties::setXML(const QString& strNewValue, XmlReadError* error)
{
    return modelxml::setXml(*this, strNewValue, error);
}

XmlElement clsISModelProperties::CreateNode(const XmlElement& Parent) const
{
    const XmlElement element = modelxml::newElement<clsISModelProperties>(Parent);
    ISLCDefs->CreateNode(element);
    return element;
}

bool clsISModelProperties::LoadNode(const XmlElement& node, XmlReadError* error)
{
    if (node.isNull()) {
        return true;
    }
    return ISLCDefs->LoadNode(node.firstChild(clsISLCDefs::NodeName()), error);
}

qint64 clsISModelProperties::classCount() const
{
    qint64 count = 0;
    for (const ISLCDefPtr& set : *ISLCDefs) {
        count += set->LCClasses->Count();
    }
    return count;
}
