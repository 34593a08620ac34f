#include <gtest/gtest.h>

#include <string>

#include "engine/ByteTrie.h"

namespace {
const unsigned char* U(const char* s) { return (const unsigned char*)s; }

// Data buffers are padded so a walk may look at up to 255 bytes.
std::string Padded(const std::string& s) { return s + std::string(300 - s.size(), '\x7f'); }

TEST(ByteTrie, LongestMatchFollowsTheDeepestNodeReached) {
  CByteTrie trie;
  EXPECT_EQ(1, trie.Insert(U("AB"), 2, 0));
  EXPECT_EQ(1, trie.Insert(U("ABCD"), 4, 1));
  EXPECT_EQ(1, trie.LongestMatch(U(Padded("ABCDxyz").c_str())));
  EXPECT_EQ(0, trie.LongestMatch(U(Padded("ABX").c_str())));
  // On the way to the longer signature, past the shorter one: no match.
  EXPECT_EQ(-1, trie.LongestMatch(U(Padded("ABCx").c_str())));
  EXPECT_EQ(-1, trie.LongestMatch(U(Padded("zzzz").c_str())));
}

TEST(ByteTrie, FirstInsertedSignatureKeepsItsPlugin) {
  CByteTrie trie;
  EXPECT_EQ(1, trie.Insert(U("\xFF\xD8\xFF"), 3, 4));
  EXPECT_EQ(0, trie.Insert(U("\xFF\xD8\xFF"), 3, 7));
  EXPECT_EQ(1, trie.Insert(U("\xFF\xD8\xFF"), 3, 4));  // same value again is fine
  EXPECT_EQ(4, trie.LongestMatch(U(Padded("\xFF\xD8\xFF\xE0").c_str())));
}

TEST(ByteTrie, SignatureLengthsAreBounded) {
  CByteTrie trie;
  std::string longest(255, 'Q');
  EXPECT_EQ(1, trie.Insert(U(longest.c_str()), 255, 2));
  std::string data = longest + std::string(10, 'Q');
  EXPECT_EQ(2, trie.LongestMatch(U(data.c_str())));
  std::string tooLong(256, 'R');
  EXPECT_EQ(0, trie.Insert(U(tooLong.c_str()), 256, 3));
  EXPECT_EQ(0, trie.Insert(U("x"), 0, 3));
  EXPECT_EQ(-1, trie.LongestMatch(U(Padded("R").c_str())));
}

TEST(ByteTrie, BinarySignaturesWithZeroBytes) {
  CByteTrie trie;
  EXPECT_EQ(1, trie.Insert(U("\x00\x00\x01\x00"), 4, 5));  // icon header
  EXPECT_EQ(1, trie.Insert(U("BM"), 2, 6));
  std::string ico("\x00\x00\x01\x00\x01\x00", 6);
  EXPECT_EQ(5, trie.LongestMatch(U(Padded(ico).c_str())));
  std::string zeros(300, '\0');
  EXPECT_EQ(-1, trie.LongestMatch(U(zeros.c_str())));
  EXPECT_EQ(6, trie.LongestMatch(U(Padded("BMxx").c_str())));
}
}  // namespace
