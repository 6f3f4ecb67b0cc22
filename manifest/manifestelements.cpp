#include "manifestelements.h"

#include <algorithm>
#include <vector>

namespace {

QDomElement shallowCopy(const ManifestTree &tree, ManifestTree::Node node, QDomDocument &document)
{
    QDomElement element = document.createElement(tree.tagName(node));
    for (int i = 0; i < tree.attributeCount(node); ++i) {
        const ManifestTree::Attribute &attribute = tree.attributeAt(node, i);
        element.setAttribute(QString::fromUtf8(tree.nameText(attribute.name)), tree.value(attribute).toString());
    }
    return element;
}

QDomNode contentCopy(const ManifestTree &tree, ManifestTree::Node node, QDomDocument &document)
{
    const QString text = tree.content(node).toString();
    switch (tree.kind(node)) {
    case ManifestTree::Text:
        return document.createTextNode(text);
    case ManifestTree::CData:
        return document.createCDATASection(text);
    case ManifestTree::Comment:
        return document.createComment(text);
    case ManifestTree::Instruction:
        return document.createProcessingInstruction(QString::fromUtf8(tree.nameText(tree.tag(node))), text);
    case ManifestTree::Element:
        break;
    }
    return shallowCopy(tree, node, document);
}

} // namespace

QDomDocument ManifestElements::document(const ManifestTree &tree)
{
    QDomDocument document;
    // Names as shared strings: most attributes of a manifest have one of a
    // few names, and a copy of each would be most of the work.
    std::vector<QString> names;
    const auto nameOf = [&](quint32 id) -> const QString & {
        if (id >= names.size())
            names.resize(id + 1);
        if (names[id].isNull())
            names[id] = QString::fromUtf8(tree.nameText(id));
        return names[id];
    };
    const auto copy = [&](ManifestTree::Node node) -> QDomNode {
        if (tree.kind(node) == ManifestTree::Element) {
            QDomElement element = document.createElement(nameOf(tree.tag(node)));
            for (int i = 0; i < tree.attributeCount(node); ++i) {
                const ManifestTree::Attribute &attribute = tree.attributeAt(node, i);
                element.setAttribute(nameOf(attribute.name), tree.value(attribute).toString());
            }
            return element;
        }
        const QString text = tree.content(node).toString();
        switch (tree.kind(node)) {
        case ManifestTree::Text:
            return document.createTextNode(text);
        case ManifestTree::CData:
            return document.createCDATASection(text);
        case ManifestTree::Comment:
            return document.createComment(text);
        default:
            return document.createProcessingInstruction(nameOf(tree.tag(node)), text);
        }
    };
    // (node of the tree, the parent of its copy), without recursion.
    std::vector<std::pair<ManifestTree::Node, QDomNode>> pending;
    const auto pushChildren = [&](ManifestTree::Node original, const QDomNode &made) {
        const size_t mark = pending.size();
        for (ManifestTree::Node child = tree.firstChild(original); child != ManifestTree::kNone;
             child = tree.nextSibling(child))
            pending.emplace_back(child, made);
        std::reverse(pending.begin() + long(mark), pending.end());
    };
    for (const ManifestTree::Node top : tree.documentNodes()) {
        // A document handle is null until its first node is made.
        pushChildren(top, document.appendChild(copy(top)));
        while (!pending.empty()) {
            auto [original, parent] = pending.back();
            pending.pop_back();
            pushChildren(original, parent.appendChild(copy(original)));
        }
    }
    return document;
}

ManifestElements::ManifestElements(const ManifestTree *tree)
    : m_tree(tree)
{
    // Not a directory: paths stop here, as they stop at a document's root.
    m_holder = m_document.createElement(QStringLiteral("elements"));
    m_document.appendChild(m_holder);
}

QDomElement ManifestElements::placeFor(ManifestTree::Node node)
{
    const ManifestTree::Node parent = m_tree->parent(node);
    if (parent == ManifestTree::kNone)
        return m_holder;
    const auto found = m_ancestors.constFind(parent);
    if (found != m_ancestors.cend())
        return found.value();
    // The missing ancestors, from the highest one down.
    std::vector<ManifestTree::Node> missing;
    for (ManifestTree::Node up = parent; up != ManifestTree::kNone && !m_ancestors.contains(up); up = m_tree->parent(up))
        missing.push_back(up);
    QDomElement place;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const ManifestTree::Node above = m_tree->parent(*it);
        QDomElement container = above == ManifestTree::kNone ? m_holder : m_ancestors.value(above);
        place = shallowCopy(*m_tree, *it, m_document);
        container.appendChild(place);
        m_ancestors.insert(*it, place);
    }
    return place;
}

QDomElement ManifestElements::element(ManifestTree::Node node, bool deep)
{
    if (node == ManifestTree::kNone || !m_tree->isElement(node))
        return QDomElement();
    QDomElement element = shallowCopy(*m_tree, node, m_document);
    placeFor(node).appendChild(element);
    if (deep) {
        // (node of the tree, its copy's parent), without recursion.
        std::vector<std::pair<ManifestTree::Node, QDomNode>> pending;
        for (ManifestTree::Node child = m_tree->firstChild(node); child != ManifestTree::kNone;
             child = m_tree->nextSibling(child))
            pending.emplace_back(child, element);
        std::reverse(pending.begin(), pending.end());
        while (!pending.empty()) {
            auto [original, parent] = pending.back();
            pending.pop_back();
            QDomNode copy = parent.appendChild(contentCopy(*m_tree, original, m_document));
            const size_t mark = pending.size();
            for (ManifestTree::Node child = m_tree->firstChild(original); child != ManifestTree::kNone;
                 child = m_tree->nextSibling(child))
                pending.emplace_back(child, copy);
            std::reverse(pending.begin() + long(mark), pending.end());
        }
    }
    return element;
}

void ManifestElements::release(QDomElement element)
{
    QDomNode parent = element.parentNode();
    if (!parent.isNull())
        parent.removeChild(element);
}

QDomElement ManifestElements::rootElement(const ManifestTree &tree, QDomDocument *document)
{
    *document = QDomDocument();
    if (tree.isEmpty())
        return QDomElement();
    document->appendChild(shallowCopy(tree, tree.root(), *document));
    return document->documentElement();
}
