#include <gtest/gtest.h>

#include "core/Base64.h"

namespace {

TEST(Base64, Rfc4648VectorsAndEveryByte) {
  const char* const vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                    {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) {
    EXPECT_EQ(v[1], Base64Encode(v[0])) << v[0];
    EXPECT_EQ(v[0], Base64DecodeString(std::string(v[1]))) << v[1];
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += (char)i;
  std::string enc = Base64Encode(all);
  EXPECT_EQ(std::string::npos, enc.find('\n'));  // one line however long
  EXPECT_EQ(all, Base64DecodeString(enc));
  EXPECT_EQ("+/8=", Base64Encode(std::string("\xfb\xff", 2)));
}

TEST(Base64, DecodingStopsQuietly) {
  EXPECT_EQ("foo", Base64DecodeString(std::string("Zm9v\r\nYmFy")));  // line break ends it
  EXPECT_EQ("f", Base64DecodeString(std::string("Zg==Zm9v")));      // padding ends it
  EXPECT_EQ("fo", Base64DecodeString(std::string("Zm8")));          // unpadded tail
  EXPECT_EQ("", Base64DecodeString(std::string("-_-_")));           // not our alphabet
  EXPECT_EQ("", Base64Decode(nullptr, 10));
  EXPECT_EQ("fo", Base64Decode("Zm9v", 3));  // length counts, not the terminator
}

}  // namespace
