#include "model/xmlelement.h"

#include <QStringDecoder>

#include <cstring>

struct XmlElement::Document {
    pugi::xml_document doc;
    QByteArray source; // kept to turn node offsets into line numbers
};

namespace {

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

QString trimmedXmlText(const char* text, size_t size)
{
    size_t begin = 0;
    while (begin < size && isXmlSpace(text[begin])) {
        ++begin;
    }
    while (size > begin && isXmlSpace(text[size - 1])) {
        --size;
    }
    // QString::fromUtf8 would drop a U+FEFF that starts the text, and a name that begins
    // with one would read back as another set's name.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(text + begin, qsizetype(size - begin)));
}

bool isTextNode(const pugi::xml_node& node)
{
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

int lineAt(const QByteArray& source, qsizetype offset)
{
    if (offset < 0 || offset > source.size()) {
        return 0;
    }
    int line = 1;
    for (qsizetype i = 0; i < offset; ++i) {
        const char c = source[i];
        if (c == '\n' || (c == '\r' && (i + 1 >= source.size() || source[i + 1] != '\n'))) {
            ++line;
        }
    }
    return line;
}

class ByteArrayWriter : public pugi::xml_writer {
public:
    explicit ByteArrayWriter(QByteArray& out) : m_out(out) {}
    void write(const void* data, size_t size) override
    {
        m_out.append(static_cast<const char*>(data), qsizetype(size));
    }

private:
    QByteArray& m_out;
};

} // namespace

XmlElement XmlElement::newDocument(const char* rootName)
{
    auto doc = std::make_shared<Document>();
    const pugi::xml_node root = doc->doc.append_child(rootName);
    return XmlElement(std::move(doc), root);
}

XmlElement XmlElement::appendChild(const char* name) const
{
    if (!m_node) {
        return {};
    }
    pugi::xml_node node = m_node; // a handle: the copy names the same element
    return XmlElement(m_doc, node.append_child(name));
}

void XmlElement::setText(const QString& text) const
{
    if (m_node && !text.isEmpty()) {
        pugi::xml_node node = m_node;
        node.text().set(text.toUtf8().constData());
    }
}

void XmlElement::setAttribute(const char* name, const QString& value) const
{
    if (!m_node) {
        return;
    }
    pugi::xml_node node = m_node;
    pugi::xml_attribute attr = node.attribute(name);
    if (!attr) {
        attr = node.append_attribute(name);
    }
    attr.set_value(value.toUtf8().constData());
}

XmlElement XmlElement::firstChild(const char* name) const
{
    if (!m_node) {
        return {};
    }
    for (pugi::xml_node child = m_node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0) {
            return XmlElement(m_doc, child);
        }
    }
    return {};
}

QList<XmlElement> XmlElement::children(const char* name) const
{
    QList<XmlElement> found;
    if (!m_node) {
        return found;
    }
    for (pugi::xml_node child = m_node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0) {
            found.append(XmlElement(m_doc, child));
        }
    }
    return found;
}

QString XmlElement::text() const
{
    if (!m_node) {
        return {};
    }
    const pugi::xml_node first = m_node.first_child();
    if (!first) {
        return {};
    }
    if (isTextNode(first) && !first.next_sibling()) {
        const char* value = first.value();
        return trimmedXmlText(value, std::strlen(value));
    }
    // Mixed content: all descendant text in document order, walked without recursion so
    // that deep nesting cannot exhaust the stack.
    QByteArray all;
    pugi::xml_node node = first;
    while (node) {
        if (isTextNode(node)) {
            all.append(node.value());
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != m_node && !node.next_sibling()) {
            node = node.parent();
        }
        if (!node || node == m_node) {
            break;
        }
        node = node.next_sibling();
    }
    return trimmedXmlText(all.constData(), size_t(all.size()));
}

QString XmlElement::attribute(const char* name) const
{
    if (!m_node) {
        return {};
    }
    const char* value = m_node.attribute(name).value();
    return trimmedXmlText(value, std::strlen(value));
}

QByteArray XmlElement::toXml() const
{
    QByteArray out;
    if (m_node) {
        ByteArrayWriter writer(out);
        m_node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    }
    return out;
}

int XmlElement::sourceLine() const
{
    if (!m_node || !m_doc) {
        return 0;
    }
    return lineAt(m_doc->source, m_node.offset_debug());
}

XmlParseResult parseXml(const QByteArray& utf8)
{
    XmlParseResult result;
    auto doc = std::make_shared<XmlElement::Document>();
    doc->source = utf8;
    const unsigned options = pugi::parse_default | pugi::parse_doctype | pugi::parse_fragment;
    const pugi::xml_parse_result parsed =
        doc->doc.load_buffer(utf8.constData(), size_t(utf8.size()), options, pugi::encoding_utf8);
    if (!parsed) {
        result.line = lineAt(utf8, parsed.offset);
        result.description = QString::fromLatin1(parsed.description());
        return result;
    }
    pugi::xml_node root;
    for (pugi::xml_node node = doc->doc.first_child(); node; node = node.next_sibling()) {
        switch (node.type()) {
        case pugi::node_element:
            if (root) {
                result.line = lineAt(utf8, node.offset_debug());
                result.description = QStringLiteral("More than one root element");
                return result;
            }
            root = node;
            break;
        case pugi::node_doctype:
            result.line = lineAt(utf8, node.offset_debug());
            result.description = QStringLiteral("Document type declarations are not accepted");
            return result;
        case pugi::node_pcdata:
        case pugi::node_cdata:
            result.line = lineAt(utf8, node.offset_debug());
            result.description = QStringLiteral("Text outside the root element");
            return result;
        default:
            break; // comments, processing instructions, the XML declaration
        }
    }
    if (!root) {
        result.line = lineAt(utf8, utf8.size());
        result.description = QStringLiteral("No root element");
        return result;
    }
    result.root = XmlElement(std::move(doc), root);
    return result;
}

LineLayout::LineLayout(QByteArray& out) : m_out(out) {}

void LineLayout::write(const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    const char* const end = p + size;
    while (p < end) {
        if (m_token.isEmpty()) {
            m_inTag = *p == '<';
        }
        const char delimiter = m_inTag ? '>' : '<';
        const auto* hit = static_cast<const char*>(std::memchr(p, delimiter, size_t(end - p)));
        if (!hit) {
            m_token.append(p, end - p); // the token goes on in the next piece
            return;
        }
        // A tag ends with its '>'; a text ends before the next '<'.
        const char* tokenEnd = m_inTag ? hit + 1 : hit;
        if (m_token.isEmpty()) {
            writeLine(p, tokenEnd - p);
        } else {
            m_token.append(p, tokenEnd - p);
            writeLine(m_token.constData(), m_token.size());
            m_token.clear();
        }
        p = tokenEnd;
    }
}

void LineLayout::finish()
{
    if (!m_token.isEmpty()) {
        writeLine(m_token.constData(), m_token.size());
        m_token.clear();
    }
}

void LineLayout::writeLine(const char* token, qsizetype size)
{
    bool deeper = true;     // two spaces more before the line
    bool shallower = false; // two spaces less after it
    if (m_inTag) {
        const bool closing = size > 1 && token[1] == '/';
        const bool selfClosing = !closing && size > 1 && token[size - 2] == '/';
        deeper = !closing;
        shallower = closing || selfClosing;
    } else {
        shallower = true;
    }
    if (deeper) {
        m_indent += 2;
    }
    const qsizetype at = m_out.size();
    m_out.resize(at + m_indent + size + 2);
    char* dest = m_out.data() + at;
    std::memset(dest, ' ', size_t(m_indent));
    std::memcpy(dest + m_indent, token, size_t(size));
    dest[m_indent + size] = '\r';
    dest[m_indent + size + 1] = '\n';
    if (shallower) {
        m_indent = qMax<qsizetype>(0, m_indent - 2);
    }
}

QByteArray layoutXmlLines(const QByteArray& oneLine)
{
    QByteArray out;
    out.reserve(oneLine.size() * 2);
    LineLayout layout(out);
    layout.write(oneLine.constData(), size_t(oneLine.size()));
    layout.finish();
    return out;
}

QByteArray layoutXmlLines(const XmlElement& element)
{
    QByteArray out;
    LineLayout layout(out);
    element.node().print(layout, "", pugi::format_raw, pugi::encoding_utf8);
    layout.finish();
    return out;
}
