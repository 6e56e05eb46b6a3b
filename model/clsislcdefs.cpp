#include "model/clsislcdefs.h"

QString clsISLCDefs::XML() const
{
    return modelxml::xml(*this);
}

bool clsISLCDefs::setXML(const QString& strNewValue, XmlReadError* error)
{
    return modelxml::setXml(*this, strNewValue, error);
}

XmlElement clsISLCDefs::CreateNode(const XmlElement& Parent) const
{
    const XmlElement element = modelxml::newElement<clsISLCDefs>(Parent);
    writeItems(element);
    return element;
}

bool clsISLCDefs::LoadNode(const XmlElement& node, XmlReadError* error)
{
    return readItems(node, error);
}

ISLCDefPtr clsISLCDefs::find(const QString& lcType) const
{
    const qint32 index = indexOf(lcType);
    return index > 0 ? Item(index) : nullptr;
}

qint32 clsISLCDefs::indexOf(const QString& lcType) const
{
    for (qint32 i = 1; i <= Count(); ++i) {
        if (Item(i)->LCType == lcType) {
            return i;
        }
    }
    return 0;
}
