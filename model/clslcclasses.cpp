#include "clslcclasses.h"

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
    for (const LCClassPtr& item : *this) {
        item->CreateNode(element);
    }
    return element;
}

bool clsLCClasses::LoadNode(const XmlElement& node, XmlReadError* error)
{
    if (node.isNull()) {
        return true;
    }
    clearList();
    for (const XmlElement& child : node.children(clsLCClass::NodeName())) {
        auto item = std::make_shared<clsLCClass>();
        if (!item->LoadNode(child, error)) {
            return false;
        }
        Add(item);
    }
    return true;
}
