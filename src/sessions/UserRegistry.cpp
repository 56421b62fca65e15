#include "sessions/UserRegistry.h"

#include <new>

#include "sessions/ConnectionSlot.h"

UserRegistry::UserRegistry(KeyOf keyOf_, Compare compare_, Bool16 ownsValues_)
    : root(nullptr), keyOf(keyOf_), compare(compare_), ownsValues(ownsValues_) {}

UserRegistry::~UserRegistry() { clear(); }

void UserRegistry::insert(ConnectionSlot* value) {
  const char* key = keyOf(value);
  RegistryNode** link = &root;
  while (*link != nullptr) {
    link = compare((*link)->value, key) < 0 ? &(*link)->left : &(*link)->right;
  }
  *link = new (std::nothrow) RegistryNode{nullptr, nullptr, value};
}

RegistryNode* UserRegistry::find(const char* key) const {
  RegistryNode* node = root;
  while (node != nullptr) {
    int order = compare(node->value, key);
    if (order == 0) return node;
    node = order < 0 ? node->left : node->right;
  }
  return nullptr;
}

Bool16 UserRegistry::remove(const char* key) {
  RegistryNode** link = &root;
  ConnectionSlot* removed = nullptr;
  bool first = true;
  for (;;) {
    RegistryNode* node = *link;
    if (node == nullptr) return 0;
    int order = compare(node->value, key);
    if (order != 0) {
      link = order < 0 ? &node->left : &node->right;
      continue;
    }
    if (first) {
      removed = node->value;
      first = false;
    }
    if (node->left != nullptr && node->right != nullptr) {
      // Two children: the node stays and takes its in-order successor's entry; the search
      // goes on down the right for the successor, which has no left child.
      RegistryNode* successor = node->right;
      while (successor->left != nullptr) successor = successor->left;
      node->value = successor->value;
      key = keyOf(successor->value);
      link = &node->right;
      continue;
    }
    *link = node->left != nullptr ? node->left : node->right;
    delete node;
    if (ownsValues) destroyValue(removed);
    return 1;
  }
}

void UserRegistry::clear() { clearBelow(root); }

void UserRegistry::clearBelow(RegistryNode*& link) {
  RegistryNode* node = link;
  if (node == nullptr) return;
  clearBelow(node->left);
  clearBelow(node->right);
  if (ownsValues) destroyValue(node->value);
  delete node;
  link = nullptr;
}

void UserRegistry::visitInOrder(Visitor visit) const {
  // Recursion on the left, a loop down the right: the depth of the recursion is that of the
  // left spines only.
  struct Walk {
    static void from(const RegistryNode* node, Visitor visit) {
      while (node != nullptr) {
        from(node->left, visit);
        visit(node->value);
        node = node->right;
      }
    }
  };
  Walk::from(root, visit);
}

void UserRegistry::destroyValue(ConnectionSlot* value) { delete value; }
