#include "model/clslcclass.h"

#include "base/numbertext.h"

namespace {

void AddElement(const XmlElement& parent, const char* name, const QString& value)
{
    parent.appendChild(name).setText(value);
}

void AddAttribute(const XmlElement& element, const char* name, const QString& value)
{
    element.setAttribute(name, value);
}

bool fail(XmlReadError* error, const XmlElement& node, const QString& description)
{
    if (error) {
        error->line = node.sourceLine();
        error->description = description;
    }
    return false;
}

} // namespace

QString clsLCClass::XML() const
{
    return modelxml::xml(*this);
}

bool clsLCClass::setXML(const QString& strNewValue, XmlReadError* error)
{
    return modelxml::setXml(*this, strNewValue, error);
}

XmlElement clsLCClass::CreateNode(const XmlElement& Parent) const
{
    const XmlElement element = modelxml::newElement<clsLCClass>(Parent);
    AddAttribute(element, "ID", formatClassValue(ID));
    AddElement(element, "LCName", LCName);
    AddElement(element, "LCHigh", formatCoefficient(LCHigh));
    AddElement(element, "LCMed", formatCoefficient(LCMed));
    AddElement(element, "LCLow", formatCoefficient(LCLow));
    return element;
}

bool clsLCClass::LoadNode(const XmlElement& node, XmlReadError* error)
{
    if (node.isNull()) {
        return true;
    }
    const QString id = GetNodeText(node, "@ID");
    if (!parseClassValue(id, &ID)) {
        return fail(
            error, node,
            QStringLiteral("class value \"%1\" is not a whole number within 32 bits").arg(id));
    }
    LCName = GetNodeText(node, "LCName");
    struct Coefficient {
        const char* name;
        float* field;
    };
    for (const Coefficient& c : {Coefficient{"LCHigh", &LCHigh}, Coefficient{"LCMed", &LCMed},
                                 Coefficient{"LCLow", &LCLow}}) {
        const QString text = GetNodeText(node, c.name);
        if (!parseCoefficient(text, c.field)) {
            const XmlElement child = node.firstChild(c.name);
            return fail(error, child.isNull() ? node : child,
                        QStringLiteral("%1 \"%2\" of class %3 is not a number")
                            .arg(QLatin1String(c.name), text, formatClassValue(ID)));
        }
    }
    return true;
}

QString clsLCClass::GetNodeText(const XmlElement& Parent, const char* ChildName)
{
    if (ChildName[0] == '@') {
        return Parent.attribute(ChildName + 1);
    }
    return Parent.firstChild(ChildName).text();
}
