#pragma once
// The node tree behind XmlDocument. Private to services/xml.

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::xml_detail {

enum class NodeKind {
  Element,
  Text,
  CData,
  Comment,
  Declaration,  // <?xml ...?>
  StyleSheet,   // <?xml-stylesheet ...?>
  DocType,
  MarkupDeclaration,  // <!ELEMENT, <!ATTLIST, <!ENTITY, <!NOTATION
  Special,            // any other <!...> or <?...?>
};

// Children are an intrusive sibling list with parent links, so walking and
// destroying a tree of any depth needs no recursion and no stack.
struct Node {
  NodeKind kind = NodeKind::Element;
  std::string name;
  std::string value;                    // raw: entity references still in it
  std::vector<std::string> attributes;  // raw "name=value" pieces, value still quoted
  Node* parent = nullptr;
  Node* firstChild = nullptr;
  Node* lastChild = nullptr;
  Node* next = nullptr;
};

// All nodes live in one deque (stable addresses, flat destruction). `document`
// is the parent of the top-level nodes.
struct Tree {
  std::deque<Node> nodes;
  Node document;

  Node* Append(Node* parent, NodeKind kind) {
    Node& node = nodes.emplace_back();
    node.kind = kind;
    node.parent = parent;
    if (parent->lastChild != nullptr) {
      parent->lastChild->next = &node;
    } else {
      parent->firstChild = &node;
    }
    parent->lastChild = &node;
    return &node;
  }
};

// The node after `node` in depth-first pre-order, staying below `top`; null at
// the end of top's subtree.
inline const Node* NextInSubtree(const Node* node, const Node* top) {
  if (node->firstChild != nullptr) return node->firstChild;
  while (node != top) {
    if (node->next != nullptr) return node->next;
    node = node->parent;
  }
  return nullptr;
}

}  // namespace kestrune::xml_detail
