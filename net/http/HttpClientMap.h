// Named values that may repeat (request headers and parameters, response
// headers). Names compare without regard to case; values of one name keep
// the order in which they were added. Names and values are malloc'ed blocks
// owned by the map.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <new>
#include <vector>

#include "net/http/HttpError.h"
#include "net/http/HttpTool.h"

namespace Kestor {

template <class Tool>
class CHttpClientMapT {
 public:
  typedef typename Tool::CharType CharType;

  struct MapValue {
    const CharType* szValue;
    DWORD dwFlag;
  };

 private:
  struct NameLess {
    bool operator()(const CharType* a, const CharType* b) const {
      if (!a) return b != nullptr;
      if (!b) return false;
      return Tool::StringICompare(a, b) < 0;
    }
  };
  struct Stored {
    CharType* szValue;
    DWORD dwFlag;
  };
  typedef std::multimap<CharType*, Stored, NameLess> Map;
  static constexpr bool kAnsi = sizeof(CharType) == 1;

 public:
  typedef typename Map::const_iterator ConstIterator;

  CHttpClientMapT() {}
  virtual ~CHttpClientMapT() { Clear(); }

  // Copies name and value (NULL allowed) and adds them as the name's last value.
  void Add(const CharType* name, const CharType* value, DWORD flag = 0) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::Add: szName can not be NULL.",
                                     L"CHttpClientMapT::Add: szName can not be NULL."));
    CharType* n = Copy(name);
    CharType* v = nullptr;
    try {
      v = Copy(value);
      AddPointerDirectly(n, v, flag);
    } catch (...) {
      free(n);
      free(v);
      throw;
    }
  }

  // Adds the given malloc'ed blocks themselves; the map owns them once this
  // returns (when it throws they stay the caller's).
  void AddPointerDirectly(CharType* name, CharType* value, DWORD flag = 0) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::AddPointerDirectly: szName can not be NULL.",
                                     L"CHttpClientMapT::AddPointerDirectly: szName can not be NULL."));
    SafeAdd<kAnsi>(SafeDword<kAnsi>(m_map.size()), 1);
    try {
      m_map.insert(typename Map::value_type(name, Stored{value, flag}));
    } catch (const std::exception& e) {
      ThrowStd(e);
    } catch (...) {
      Tool::ThrowByCode(ErrUnexpected);
    }
  }

  // Replaces the index-th value of the name, or adds it when the name has
  // no value. An index at or past the name's values adds a further value.
  void Set(const CharType* name, const CharType* value, DWORD flag = 0, DWORD index = 0) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::Set: szName can not be NULL.",
                                     L"CHttpClientMapT::Set: szName can not be NULL."));
    typename Map::iterator it = Find(name, index);
    if (it == m_map.end()) {
      Add(name, value, flag);
      return;
    }
    CharType* v = Copy(value);
    free(it->second.szValue);
    it->second.szValue = v;
    it->second.dwFlag = flag;
  }

  BOOL Remove(const CharType* name, DWORD index = 0) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::Remove: szName can not be NULL.",
                                     L"CHttpClientMapT::Remove: szName can not be NULL."));
    typename Map::iterator it = Find(name, index);
    if (it == m_map.end()) return FALSE;
    Erase(it);
    return TRUE;
  }

  BOOL Remove(DWORD position) {
    if (position >= m_map.size()) return FALSE;
    typename Map::iterator it = m_map.begin();
    std::advance(it, position);
    Erase(it);
    return TRUE;
  }

  BOOL RemoveAll(const CharType* name) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::RemoveAll: szName can not be NULL.",
                                     L"CHttpClientMapT::RemoveAll: szName can not be NULL."));
    std::pair<typename Map::iterator, typename Map::iterator> r =
        m_map.equal_range(const_cast<CharType*>(name));
    if (r.first == r.second) return FALSE;
    EraseRange(r.first, r.second);
    return TRUE;
  }

  BOOL Clear() {
    if (m_map.empty()) return FALSE;
    EraseRange(m_map.begin(), m_map.end());
    return TRUE;
  }

  BOOL Exists(const CharType* name, DWORD index = 0) const {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::Exists: szName can not be NULL.",
                                     L"CHttpClientMapT::Exists: szName can not be NULL."));
    return Count(name) > index;
  }

  // Values of the name; with NULL, all entries.
  DWORD Count(const CharType* name = nullptr) const {
    if (!name) return (DWORD)m_map.size();
    return (DWORD)m_map.count(const_cast<CharType*>(name));
  }

  BOOL Empty() const { return m_map.empty(); }

  MapValue Get(const CharType* name, DWORD index = 0) const {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpClientMapT::Get: szName can not be NULL.",
                                     L"CHttpClientMapT::Get: szName can not be NULL."));
    return ValueOf(Find(name, index));
  }

  MapValue Get(DWORD position) const {
    if (position >= m_map.size()) return MapValue{nullptr, 0};
    ConstIterator it = m_map.begin();
    std::advance(it, position);
    return ValueOf(it);
  }

  const CharType* GetValue(const CharType* name, DWORD index = 0) const { return Get(name, index).szValue; }
  const CharType* GetValue(DWORD position) const { return Get(position).szValue; }
  DWORD GetFlag(const CharType* name, DWORD index = 0) const { return Get(name, index).dwFlag; }
  DWORD GetFlag(DWORD position) const { return Get(position).dwFlag; }

  const CharType* GetKey(DWORD position) const {
    if (position >= m_map.size()) return nullptr;
    ConstIterator it = m_map.begin();
    std::advance(it, position);
    return it->first;
  }

  ConstIterator begin() const { return m_map.begin(); }
  ConstIterator end() const { return m_map.end(); }
  // A value stored as NULL reads as the empty text.
  static MapValue ValueAt(ConstIterator it) {
    return MapValue{it->second.szValue ? it->second.szValue : Empty0(), it->second.dwFlag};
  }

 private:
  CHttpClientMapT(const CHttpClientMapT&);
  CHttpClientMapT& operator=(const CHttpClientMapT&);

  static const CharType* Empty0() {
    static const CharType empty[1] = {0};
    return empty;
  }

  MapValue ValueOf(ConstIterator it) const {
    if (it == m_map.end()) return MapValue{nullptr, 0};
    return ValueAt(it);
  }

  typename Map::iterator Find(const CharType* name, DWORD index) const {
    Map& m = const_cast<Map&>(m_map);
    std::pair<typename Map::iterator, typename Map::iterator> r = m.equal_range(const_cast<CharType*>(name));
    for (DWORD i = 0; r.first != r.second; ++r.first, ++i)
      if (i == index) return r.first;
    return m.end();
  }

  static CharType* Copy(const CharType* text) {
    return text ? HeapCopyText<Tool>(text, Tool::StringLength(text)) : nullptr;
  }

  [[noreturn]] static void ThrowStd(const std::exception& e) {
    if (kAnsi) ThrowWithTextA(e.what(), ErrStdException);
    ThrowNarrowAsWide(e.what(), ErrStdException, 0);
  }

  // The value block goes before the entry leaves the map, the name block
  // after (the ordering still reads names while entries are removed).
  void Erase(typename Map::iterator it) {
    CharType* name = it->first;
    free(it->second.szValue);
    m_map.erase(it);
    free(name);
  }

  void EraseRange(typename Map::iterator first, typename Map::iterator last) {
    std::vector<CharType*> names;
    names.reserve((size_t)std::distance(first, last));  // may throw: nothing is freed yet
    for (typename Map::iterator it = first; it != last; ++it) {
      free(it->second.szValue);
      it->second.szValue = nullptr;
      names.push_back(it->first);
    }
    m_map.erase(first, last);
    for (size_t i = 0; i < names.size(); ++i) free(names[i]);
  }

  Map m_map;
};

}  // namespace Kestor
