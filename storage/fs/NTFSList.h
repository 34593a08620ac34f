// Singly linked list used by the NTFS readers for attributes, data runs,
// index entries and extension records. The list owns what it holds unless
// it is detached first.
#pragma once
#include <cstddef>

template <class T>
class CSList {
 public:
  CSList() {}
  virtual ~CSList() { RemoveAll(); }
  CSList(const CSList&) = delete;
  CSList& operator=(const CSList&) = delete;

  int GetCount() const { return m_nCount; }
  bool IsEmpty() const { return m_nCount == 0; }

  // Appends; the list owns the element from now on.
  bool InsertEntry(T* entry) {
    if (!entry) return false;
    Node* n = new Node{entry, nullptr};
    if (m_pTail) m_pTail->next = n; else m_pHead = n;
    m_pTail = n;
    ++m_nCount;
    return true;
  }
  T* FindFirst() {
    m_pCursor = m_pHead;
    return m_pCursor ? m_pCursor->item : nullptr;
  }
  T* FindNext() {
    if (m_pCursor) m_pCursor = m_pCursor->next;
    return m_pCursor ? m_pCursor->item : nullptr;
  }
  // Walk without touching the shared cursor.
  template <class F> void ForEach(F f) const {
    for (Node* n = m_pHead; n; n = n->next) f(n->item);
  }
  // First element for which f is true, without touching the cursor.
  template <class F> T* FindIf(F f) const {
    for (Node* n = m_pHead; n; n = n->next)
      if (f(n->item)) return n->item;
    return nullptr;
  }
  // Deletes every element.
  void RemoveAll() {
    Node* n = m_pHead;
    while (n) {
      Node* next = n->next;
      delete n->item;
      delete n;
      n = next;
    }
    Reset();
  }
  // Forgets every element without deleting it (someone else owns them now).
  void ThrowAll() {
    Node* n = m_pHead;
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
    Reset();
  }
  // Unlinks one element without deleting it; false when it is not here.
  bool Detach(T* entry) {
    Node* prev = nullptr;
    for (Node* n = m_pHead; n; prev = n, n = n->next) {
      if (n->item != entry) continue;
      if (prev) prev->next = n->next; else m_pHead = n->next;
      if (m_pTail == n) m_pTail = prev;
      if (m_pCursor == n) m_pCursor = nullptr;
      delete n;
      --m_nCount;
      return true;
    }
    return false;
  }

 private:
  struct Node {
    T* item;
    Node* next;
  };
  void Reset() { m_nCount = 0; m_pHead = m_pTail = m_pCursor = nullptr; }
  int m_nCount = 0;
  Node* m_pHead = nullptr;
  Node* m_pTail = nullptr;
  Node* m_pCursor = nullptr;
};
