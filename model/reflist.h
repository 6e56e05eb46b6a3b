#pragma once

#include "model/xmlelement.h"

#include <QtGlobal>

#include <memory>
#include <stdexcept>
#include <vector>

// The ordered, 1-based list of shared object references behind the two list classes.
// Adding stores the reference itself, so a change through any holder is seen by all.
template <typename T> class RefList {
public:
    using Ptr = std::shared_ptr<T>;
    using const_iterator = typename std::vector<Ptr>::const_iterator;

    void Add(const Ptr& item) { m_items.push_back(item); }
    // Positions outside 1..Count throw std::out_of_range.
    Ptr Item(qint32 Index) const { return m_items.at(checked(Index)); }
    void setItem(qint32 Index, const Ptr& item) { m_items.at(checked(Index)) = item; }
    qint32 Count() const { return qint32(m_items.size()); }
    void Remove(qint32 Index) { m_items.erase(m_items.begin() + qsizetype(checked(Index))); }

    // NewEnum: for (const auto& item : list)
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

protected:
    // Each item as a child of element, in list order.
    void writeItems(const XmlElement& element) const
    {
        for (const Ptr& item : m_items) {
            item->CreateNode(element);
        }
    }

    // Replaces the list with one new item per child element of the items' name. A child that
    // does not convert ends the read with false; it is not appended, those before it stay.
    bool readItems(const XmlElement& node, XmlReadError* error)
    {
        if (node.isNull()) {
            return true;
        }
        std::vector<Ptr>().swap(m_items);
        for (const XmlElement& child : node.children(T::NodeName())) {
            auto item = std::make_shared<T>();
            if (!item->LoadNode(child, error)) {
                return false;
            }
            m_items.push_back(item);
        }
        return true;
    }

private:
    size_t checked(qint32 Index) const
    {
        if (Index < 1 || Index > Count()) {
            throw std::out_of_range("list position out of range");
        }
        return size_t(Index - 1);
    }

    std::vector<Ptr> m_items;
};
