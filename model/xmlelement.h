#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <pugixml.hpp>

struct XmlParseResult;

// An element of an XML document, holding the document alive as long as any of its elements
// is held. A default-constructed element is null: every read of it gives nothing.
class XmlElement {
public:
    XmlElement() = default;

    // A new document whose only content is an empty root element of that name.
    static XmlElement newDocument(const char* rootName);

    bool isNull() const { return !m_node; }

    // A new element of that name in this element's document, appended as its last child.
    XmlElement appendChild(const char* name) const;
    void setText(const QString& text) const;
    // Sets the attribute, replacing one of the same name.
    void setAttribute(const char* name, const QString& value) const;

    // The first child element of that name, or a null element.
    XmlElement firstChild(const char* name) const;
    // All child elements of that name, in document order.
    QList<XmlElement> children(const char* name) const;
    // The text of the element and its descendants, without leading and trailing white space.
    QString text() const;
    // The attribute's value without leading and trailing white space; empty when missing.
    QString attribute(const char* name) const;

    // The element as one line of XML, without declaration.
    QByteArray toXml() const;

    // The line of the source text the element was read from, or 0 when not known.
    int sourceLine() const;

    pugi::xml_node node() const { return m_node; }

private:
    struct Document;
    XmlElement(std::shared_ptr<Document> doc, pugi::xml_node node)
        : m_doc(std::move(doc)), m_node(node)
    {
    }

    std::shared_ptr<Document> m_doc;
    pugi::xml_node m_node;

    friend struct XmlParseResult;
    friend XmlParseResult parseXml(const QByteArray& utf8);
};

// Why a document did not read, and where.
struct XmlReadError {
    int line = 0; // 0 when not known
    QString description;
};

struct XmlParseResult {
    XmlElement root; // null when the text is not a well-formed document
    int line = 0;    // where the parser stopped, when it failed
    QString description;

    bool ok() const { return !root.isNull(); }
};

// Parses UTF-8 text as a complete document. Refuses anything but one root element with
// nothing around it but comments, processing instructions and white space; refuses document
// type declarations, so no entity can expand.
XmlParseResult parseXml(const QByteArray& utf8);

// One tag or text per line: the layout the store file is written in, each line ended by
// CR LF. Opening tags add two spaces of indentation, closing tags take them away again,
// text stands two spaces deeper than its tags; every line starts with two spaces at least.
// Takes the one-line text in pieces of any size, so a large document is laid out as it is
// serialized.
class LineLayout : public pugi::xml_writer {
public:
    explicit LineLayout(QByteArray& out);
    void write(const void* data, size_t size) override;
    void finish(); // lays out what remains

private:
    void writeLine(const char* token, qsizetype size);

    QByteArray& m_out;
    QByteArray m_token; // a tag or text split between two pieces
    bool m_inTag = false;
    qsizetype m_indent = 0;
};

QByteArray layoutXmlLines(const QByteArray& oneLine);
// The element's one-line text, laid out without building that text first.
QByteArray layoutXmlLines(const XmlElement& element);

// The members every model class shares, written once.
namespace modelxml {

// The element an object writes itself into: a new document's root without a parent, else a
// new last child of the parent.
template <typename T> XmlElement newElement(const XmlElement& Parent)
{
    return Parent.isNull() ? XmlElement::newDocument(T::NodeName())
                           : Parent.appendChild(T::NodeName());
}

template <typename T> QString xml(const T& object)
{
    return QString::fromUtf8(object.CreateNode().toXml());
}

template <typename T> bool setXml(T& object, const QString& text, XmlReadError* error)
{
    const XmlParseResult parsed = parseXml(text.toUtf8());
    return object.LoadNode(parsed.root, error); // a null root changes nothing
}

} // namespace modelxml
