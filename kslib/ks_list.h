// An ordered, doubly linked list of pointers with head, tail and a 32-bit
// count. The list never owns its items: the owner empties it with
// DeleteAll (destroying the items) or Clear (keeping them). Nodes are
// allocated without throwing; Append reports a failed node allocation.
#pragma once

#include "kslib/ks_alloc.h"

template <class T>
class KsList {
 public:
  struct Node {
    T* item;
    Node* prev;
    Node* next;
  };

  class Iterator {
   public:
    explicit Iterator(const Node* node) : node_(node) {}
    T* operator*() const { return node_->item; }
    Iterator& operator++() {
      node_ = node_->next;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return node_ != other.node_; }

   private:
    const Node* node_;
  };

  KsList() = default;
  ~KsList() { Clear(); }
  KsList(const KsList&) = delete;
  KsList& operator=(const KsList&) = delete;

  // false when the node cannot be allocated (the item is not added).
  bool Append(T* item) {
    Node* node = kslib::New<Node>();
    if (node == nullptr) return false;
    node->item = item;
    node->prev = tail_;
    node->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = node;
    } else {
      head_ = node;
    }
    tail_ = node;
    ++count_;
    return true;
  }

  // Frees the nodes; the items stay alive.
  void Clear() {
    Node* node = head_;
    while (node != nullptr) {
      Node* next = node->next;
      delete node;
      node = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
  }

  // Destroys every item, then frees the nodes.
  void DeleteAll() {
    for (Node* node = head_; node != nullptr; node = node->next) {
      delete node->item;
      node->item = nullptr;
    }
    Clear();
  }

  ULONG Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  const Node* Head() const { return head_; }
  const Node* Tail() const { return tail_; }
  T* First() const { return head_ != nullptr ? head_->item : nullptr; }
  // The item at a position, or none past the end.
  T* At(ULONG index) const {
    for (const Node* node = head_; node != nullptr; node = node->next) {
      if (index-- == 0) return node->item;
    }
    return nullptr;
  }
  Iterator begin() const { return Iterator(head_); }
  Iterator end() const { return Iterator(nullptr); }

 private:
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  ULONG count_ = 0;
};
