#include "sessions/UserRegistry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/Server.h"
#include "sessions/ConnectionSlot.h"

namespace {

std::vector<std::string>* visited = nullptr;

void recordName(ConnectionSlot* slot) { visited->push_back(slot->userName); }

class UserRegistryTest : public ::testing::Test {
 protected:
  UserRegistryTest() : registry(&Server::slotKey, &Server::compareSlotName, 0) {}

  ConnectionSlot* slot(const char* name) {
    auto owned = std::make_unique<ConnectionSlot>();
    owned->userName = strdup(name);
    slots.push_back(std::move(owned));
    return slots.back().get();
  }

  ConnectionSlot* add(const char* name) {
    ConnectionSlot* value = slot(name);
    registry.insert(value);
    return value;
  }

  std::vector<std::string> inOrder() {
    std::vector<std::string> names;
    visited = &names;
    registry.visitInOrder(&recordName);
    visited = nullptr;
    return names;
  }

  // Checks the search-tree order over the whole tree: left keys below, right keys at or above.
  static bool ordered(const RegistryNode* node, const char* low, const char* high) {
    if (node == nullptr) return true;
    const char* key = node->value->userName;
    if (low != nullptr && std::strcmp(key, low) < 0) return false;
    if (high != nullptr && std::strcmp(key, high) >= 0) return false;
    return ordered(node->left, low, key) && ordered(node->right, key, high);
  }

  std::vector<std::unique_ptr<ConnectionSlot>> slots;
  UserRegistry registry;
};

TEST_F(UserRegistryTest, EmptyRegistryFindsNothingAndRemovesNothing) {
  EXPECT_EQ(registry.find("alice"), nullptr);
  EXPECT_FALSE(registry.remove("alice"));
  EXPECT_TRUE(inOrder().empty());
}

TEST_F(UserRegistryTest, FindsEachInsertedNameAndNoOther) {
  ConnectionSlot* bob = add("bob");
  ConnectionSlot* alice = add("alice");
  ConnectionSlot* carol = add("carol");
  ASSERT_NE(registry.find("bob"), nullptr);
  EXPECT_EQ(registry.find("bob")->value, bob);
  EXPECT_EQ(registry.find("alice")->value, alice);
  EXPECT_EQ(registry.find("carol")->value, carol);
  EXPECT_EQ(registry.find("dave"), nullptr);
  EXPECT_EQ(registry.find(""), nullptr);
}

TEST_F(UserRegistryTest, WalksInByteOrderWithUpperCaseFirst) {
  add("carol");
  add("Alice");
  add("bob");
  add("alice");
  add("Bob");
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"Alice", "Bob", "alice", "bob", "carol"}));
  EXPECT_EQ(registry.find("ALICE"), nullptr);
}

TEST_F(UserRegistryTest, RemovesEveryShapeOfNodeAndKeepsTheOrder) {
  //          m
  //       f      t
  //     c   h      w
  //    a         u
  for (const char* name : {"m", "f", "t", "c", "h", "w", "a", "u"}) add(name);

  EXPECT_TRUE(registry.remove("h"));  // a leaf
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"a", "c", "f", "m", "t", "u", "w"}));
  EXPECT_TRUE(registry.remove("c"));  // only a left child
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"a", "f", "m", "t", "u", "w"}));
  EXPECT_TRUE(registry.remove("t"));  // only a right child
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"a", "f", "m", "u", "w"}));
  EXPECT_TRUE(registry.remove("m"));  // the root, with two children
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"a", "f", "u", "w"}));
  EXPECT_TRUE(ordered(registry.root, nullptr, nullptr));
  EXPECT_FALSE(registry.remove("m"));
  for (const char* name : {"a", "f", "u", "w"}) EXPECT_TRUE(registry.remove(name)) << name;
  EXPECT_EQ(registry.root, nullptr);
}

TEST_F(UserRegistryTest, RootWithTwoChildrenStaysInPlaceCarryingItsSuccessor) {
  add("m");
  add("f");
  add("t");
  ConnectionSlot* p = add("p");  // the successor: leftmost below the right child
  add("x");
  RegistryNode* root = registry.root;
  EXPECT_TRUE(registry.remove("m"));
  EXPECT_EQ(registry.root, root);
  EXPECT_EQ(registry.root->value, p);
  EXPECT_EQ(registry.root->right->left, nullptr);  // the successor's node is the one freed
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"f", "p", "t", "x"}));
}

TEST_F(UserRegistryTest, SuccessorThatIsTheRightChildItself) {
  add("m");
  add("f");
  ConnectionSlot* t = add("t");
  add("x");
  EXPECT_TRUE(registry.remove("m"));
  EXPECT_EQ(registry.root->value, t);
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"f", "t", "x"}));
  EXPECT_TRUE(ordered(registry.root, nullptr, nullptr));
}

TEST_F(UserRegistryTest, AscendingInsertsBuildAChainThatStillWorks) {
  std::vector<std::string> names;
  for (char c = 'a'; c <= 'z'; ++c) names.push_back(std::string(1, c));
  for (const auto& name : names) add(name.c_str());
  int depth = 0;
  for (RegistryNode* node = registry.root; node != nullptr; node = node->right) ++depth;
  EXPECT_EQ(depth, 26);
  EXPECT_EQ(inOrder(), names);
  EXPECT_TRUE(registry.remove("m"));
  EXPECT_EQ(registry.find("m"), nullptr);
  EXPECT_NE(registry.find("z"), nullptr);
  EXPECT_EQ(inOrder().size(), 25u);
}

TEST_F(UserRegistryTest, DuplicateKeysActOnTheFirstInsertedFirst) {
  ConnectionSlot* first = add("bob");
  ConnectionSlot* second = add("bob");
  EXPECT_EQ(registry.find("bob")->value, first);
  EXPECT_EQ(inOrder(), (std::vector<std::string>{"bob", "bob"}));
  EXPECT_TRUE(registry.remove("bob"));
  ASSERT_NE(registry.find("bob"), nullptr);
  EXPECT_EQ(registry.find("bob")->value, second);
  EXPECT_TRUE(registry.remove("bob"));
  EXPECT_FALSE(registry.remove("bob"));
}

TEST_F(UserRegistryTest, RemovingAndClearingLeaveTheSlotsUntouched) {
  ConnectionSlot* alice = add("alice");
  ConnectionSlot* bob = add("bob");
  add("carol");
  EXPECT_TRUE(registry.remove("alice"));
  EXPECT_STREQ(alice->userName, "alice");
  registry.clear();
  EXPECT_EQ(registry.root, nullptr);
  EXPECT_STREQ(bob->userName, "bob");
  EXPECT_TRUE(inOrder().empty());
  add("dave");
  EXPECT_NE(registry.find("dave"), nullptr);
}

TEST(OwningUserRegistryTest, DestroysTheRemovedEntryButNotTheMovedOne) {
  // Owning registries free their values; run under the address sanitizer this also proves
  // that the entry moved into a two-children node is not freed with the removed one.
  UserRegistry registry(&Server::slotKey, &Server::compareSlotName, 1);
  for (const char* name : {"m", "f", "t", "p"}) {
    auto* slot = new ConnectionSlot();
    slot->userName = strdup(name);
    registry.insert(slot);
  }
  EXPECT_TRUE(registry.remove("m"));
  ASSERT_NE(registry.find("p"), nullptr);
  EXPECT_STREQ(registry.find("p")->value->userName, "p");
  registry.clear();
  EXPECT_EQ(registry.root, nullptr);
}

}  // namespace
