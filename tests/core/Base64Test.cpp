#include <gtest/gtest.h>

#include <random>

#include "core/Base64.h"

namespace {

// RFC 4648 section 10.
const char* const kVectors[][2] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                                   {"foo", "Zm9v"},    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                   {"foobar", "Zm9vYmFy"}};

TEST(Base64, Rfc4648Vectors) {
  for (auto& v : kVectors) {
    EXPECT_EQ(v[1], Base64Encode(v[0])) << v[0];
    EXPECT_EQ(v[0], Base64DecodeString(std::string(v[1]))) << v[1];
    std::string out = "stale";
    Base64DecodeString(std::string(v[1]), out);
    EXPECT_EQ(v[0], out);
  }
}

TEST(Base64, WholeAlphabetAndBinary) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += (char)i;
  std::string enc = Base64Encode(all);
  EXPECT_EQ(344u, enc.size());
  EXPECT_EQ(std::string::npos, enc.find('\n'));  // one line however long
  EXPECT_EQ(all, Base64DecodeString(enc));
  EXPECT_EQ("+/8=", Base64Encode(std::string("\xfb\xff", 2)));
  EXPECT_EQ(std::string("a\0b", 3), Base64DecodeString(Base64Encode(std::string("a\0b", 3))));
  EXPECT_EQ("", Base64EncodeString(nullptr, 5));
  std::mt19937 rng(7);
  for (int n = 0; n < 200; ++n) {
    std::string s(n, '\0');
    for (char& c : s) c = (char)rng();
    EXPECT_EQ(s, Base64DecodeString(Base64Encode(s)));
  }
}

TEST(Base64, DecodingStopsQuietly) {
  EXPECT_EQ("foo", Base64DecodeString(std::string("Zm9v\r\nYmFy")));  // line break ends it
  EXPECT_EQ("f", Base64DecodeString(std::string("Zg==Zm9v")));      // padding ends it
  EXPECT_EQ("fo", Base64DecodeString(std::string("Zm8")));          // unpadded tail
  EXPECT_EQ("foo", Base64DecodeString(std::string("Zm9vY")));       // single trailing character
  EXPECT_EQ("", Base64DecodeString(std::string("Z")));
  EXPECT_EQ("", Base64DecodeString(std::string("-_-_")));  // URL-safe alphabet is not ours
  EXPECT_EQ("", Base64Decode(nullptr, 10));
  EXPECT_EQ("fo", Base64Decode("Zm9v", 3));  // length counts, not the terminator
}

TEST(Base64, MessageKeysOfTheProgram) {
  EXPECT_EQ("InstallDecoder", Base64DecodeString(std::string("SW5zdGFsbERlY29kZXI=")));
  EXPECT_EQ("UninstText", Base64DecodeString(std::string("VW5pbnN0VGV4dA==")));
  EXPECT_EQ("aW5wdXRTdWdnZXN0", Base64Encode("inputSuggest"));
}

}  // namespace
