#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestUtil.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "engine/FormatPluginRegistry.h"

namespace {
int g_boxes = 0;
int CountBox(HWND, const wchar_t*, const wchar_t*, UINT, int) {
  ++g_boxes;
  return IDOK;
}

bool Has(const std::vector<std::wstring>& v, const wchar_t* s) {
  return std::find(v.begin(), v.end(), std::wstring(s)) != v.end();
}

TEST(FormatPluginRegistry, LoadsOnlyFmtModulesThatNameTheirFormat) {
  CFormatPluginRegistry& reg = enginetest::TestRegistry();
  const auto& names = reg.GetFormatNames();
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TSIG"));
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TCHECK"));
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TNOATONCE"));  // loaded; the deep scan refuses it later
  EXPECT_FALSE(Has(names, L"FILE_TYPE_PLAIN"));      // plain_tsig.dll lacks "fmt_"
  EXPECT_FALSE(Has(names, L"FILE_TYPE_TNOFORMAT"));  // no GetSupportFormat: freed again
  EXPECT_EQ(reg.GetModules().size(), names.size());
  // plain_tsig.dll was never loaded at all; fmt_tnoformat.dll was freed.
  EXPECT_EQ(nullptr, GetModuleHandleW(L"plain_tsig.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleW(L"fmt_tnoformat.dll"));
}

TEST(FormatPluginRegistry, TwentyCharacterFormatNameArrivesWhole) {
  CFormatPluginRegistry& reg = enginetest::TestRegistry();
  EXPECT_TRUE(Has(reg.GetFormatNames(), L"FILE_TYPE_ABCDEFGHIJ"));
  EXPECT_NE(nullptr, reg.FindByFormat(L"FILE_TYPE_ABCDEFGHIJ"));
  EXPECT_EQ(nullptr, reg.FindByFormat(L"FILE_TYPE_ABCDEFGHI"));
  EXPECT_EQ(nullptr, reg.FindByFormat(L"file_type_tsig"));  // exact, case-sensitive
}

TEST(FormatPluginRegistry, ExtensionsMapThroughTheFixedTable) {
  CFormatPluginRegistry& reg = enginetest::TestRegistry();
  HMODULE icon = reg.FindByFormat(L"FILE_TYPE_ICON");
  ASSERT_NE(nullptr, icon);
  EXPECT_EQ(icon, reg.FindByExtension(L"ico"));
  EXPECT_EQ(icon, reg.FindByExtension(L".ICO"));
  EXPECT_EQ(nullptr, reg.FindByExtension(L""));
  EXPECT_EQ(nullptr, reg.FindByExtension(L"."));
  EXPECT_EQ(nullptr, reg.FindByExtension(L"..ico"));
  EXPECT_EQ(nullptr, reg.FindByExtension(L"txt"));  // no text plug-in loaded
  EXPECT_EQ(nullptr, reg.FindByExtension(L"pdf"));  // not in the table at all

  EXPECT_STREQ(L"FILE_TYPE_JPG", CFormatPluginRegistry::FormatNameOfExtension(L".JPG"));
  EXPECT_STREQ(L"FILE_TYPE_JPG", CFormatPluginRegistry::FormatNameOfExtension(L"jpg"));
  EXPECT_STREQ(L"FILE_TYPE_GZIP", CFormatPluginRegistry::FormatNameOfExtension(L"RData"));
  EXPECT_STREQ(L"FILE_TYPE_GZIP", CFormatPluginRegistry::FormatNameOfExtension(L"tar.gz"));
  EXPECT_STREQ(L"FILE_TYPE_OFFICE", CFormatPluginRegistry::FormatNameOfExtension(L"et"));
  EXPECT_STREQ(L"FILE_TYPE_PDF", CFormatPluginRegistry::FormatNameOfExtension(L"ai"));
  EXPECT_EQ(nullptr, CFormatPluginRegistry::FormatNameOfExtension(L"jpeg"));
  EXPECT_EQ(nullptr, CFormatPluginRegistry::FormatNameOfExtension(L"mp3"));
}

TEST(FormatPluginRegistry, EmptyOrMissingTypeFolderShowsOneErrorBox) {
  MessageDlgProc previous = SetMessageDlgProc(CountBox);
  std::wstring empty = testpaths::MakeTempDir(L"noplugins");
  CreateDirectoryW((empty + L"\\type").c_str(), nullptr);

  CFormatPluginRegistry reg;
  g_boxes = 0;
  reg.LoadFrom(empty);
  EXPECT_EQ(1, g_boxes);
  EXPECT_TRUE(reg.GetModules().empty());
  EXPECT_EQ(nullptr, reg.FindByExtension(L"ico"));

  g_boxes = 0;
  reg.LoadFrom(empty + L"\\does-not-exist");
  EXPECT_EQ(1, g_boxes);
  EXPECT_TRUE(reg.GetFormatNames().empty());
  SetMessageDlgProc(previous);
}

TEST(FormatPluginRegistry, UnloadEmptiesAndReloadWorks) {
  MessageDlgProc previous = SetMessageDlgProc(CountBox);
  CFormatPluginRegistry reg;
  reg.LoadFrom(enginetest::TestPluginHome() + L"\\");  // a trailing backslash is dropped
  size_t count = reg.GetModules().size();
  EXPECT_GE(count, 6u);
  reg.Unload();
  EXPECT_TRUE(reg.GetModules().empty());
  EXPECT_EQ(nullptr, reg.FindByFormat(L"FILE_TYPE_TSIG"));
  reg.LoadFrom(enginetest::TestPluginHome());
  EXPECT_EQ(count, reg.GetModules().size());
  EXPECT_NE(nullptr, reg.FindByFormat(L"FILE_TYPE_TSIG"));
  SetMessageDlgProc(previous);
}
}  // namespace
