#include <gtest/gtest.h>

#include "core/Helpers.h"
#include "core/Settings.h"
#include "CoreTestUtil.h"

namespace {

// Each test gets its own product folder and restores the globals.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedDataDir = g_strAppDataDir;
    m_savedCodePage = g_nUICodePage;
    m_dir = testpaths::MakeTempDir(L"settings");
    ASSERT_FALSE(m_dir.empty());
    g_strAppDataDir = m_dir;
  }
  void TearDown() override {
    coretest::RemoveTree(m_dir);
    g_strAppDataDir = m_savedDataDir;
    g_nUICodePage = m_savedCodePage;
  }
  void WriteConfig(const std::string& text) {
    ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\Config.ini", text));
  }
  std::wstring RawValue(const wchar_t* key) {
    wchar_t buf[256] = {};
    GetPrivateProfileStringW(L"Setting", key, L"<none>", buf, 256, (m_dir + L"\\Config.ini").c_str());
    return buf;
  }

  std::wstring m_dir, m_savedDataDir;
  int m_savedCodePage = 0;
};

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  g_nUICodePage = 936;
  CConfigSetting s;
  EXPECT_EQ(0, s.m_bLoaded);
  s.Load();
  EXPECT_EQ(1, s.m_bLoaded);
  EXPECT_EQ(m_dir + L"\\Config.ini", s.m_strIniPath);
  EXPECT_EQ(0, s.m_nLCID);
  EXPECT_EQ(936, g_nUICodePage);  // no override
  EXPECT_EQ(0, s.m_bShowMode);
  EXPECT_EQ(1, s.m_nViewMode);
  EXPECT_EQ(0, s.m_bEnablePreviewer);
  EXPECT_EQ(512u, s.m_uClusterSize);
  EXPECT_EQ(32u, s.m_uSkipBadSectorNums);
  EXPECT_EQ(0, s.m_bEnableSkipBadSector);
  EXPECT_EQ(0, s.m_bEnableUSNJournal);
  // The 16-character buffer keeps 15 characters of the default.
  EXPECT_EQ(L"UNREADABLESECTO", s.m_strBadSectorValue);
  // Loading creates nothing.
  EXPECT_FALSE(testpaths::FileExists(m_dir + L"\\Config.ini"));
}

TEST_F(SettingsTest, StoredValuesAndTheirLimits) {
  WriteConfig(
      "[Setting]\r\nShowMode=5\r\nClusterSize=4096\r\nViewMode=0\r\nEnablePreviewer=1\r\n"
      "EnableSkipBadSector=1\r\nSkipBadSectorNums=64\r\nEnableUSNJournal=1\r\n"
      "BadSectorValue=ABCDEFGHIJKLMNOPQRST\r\n");
  CConfigSetting s;
  s.Load();
  EXPECT_EQ(1, s.m_bShowMode);  // any non-zero value
  EXPECT_EQ(4096u, s.m_uClusterSize);
  EXPECT_EQ(0, s.m_nViewMode);
  EXPECT_EQ(1, s.m_bEnablePreviewer);
  EXPECT_EQ(1, s.m_bEnableSkipBadSector);
  EXPECT_EQ(64u, s.m_uSkipBadSectorNums);
  EXPECT_EQ(1, s.m_bEnableUSNJournal);
  EXPECT_EQ(L"ABCDEFGHIJKLMNO", s.m_strBadSectorValue);  // 20 characters cut to 15
}

TEST_F(SettingsTest, InvalidClusterSizesKeep512) {
  for (const char* v : {"1000", "16384", "0", "-512", "abc", "99999999999999999999999", ""}) {
    WriteConfig(std::string("[Setting]\r\nClusterSize=") + v + "\r\n");
    CConfigSetting s;
    s.Load();
    EXPECT_EQ(512u, s.m_uClusterSize) << v;
  }
  DeleteFileW((m_dir + L"\\Config.ini").c_str());
  CConfigSetting s;
  s.Load();
  EXPECT_FALSE(s.SetClusterSize(0, 1));  // a zero step would stall the raw scans
  EXPECT_FALSE(s.SetClusterSize(513, 1));
  EXPECT_EQ(512u, s.m_uClusterSize);
  EXPECT_EQ(L"<none>", RawValue(L"ClusterSize"));
  EXPECT_TRUE(s.SetClusterSize(8192, 0));  // stored, not written
  EXPECT_EQ(8192u, s.m_uClusterSize);
  EXPECT_EQ(L"<none>", RawValue(L"ClusterSize"));
  EXPECT_TRUE(s.SetClusterSize(16384 - 512, 1));
  EXPECT_EQ(L"15872", RawValue(L"ClusterSize"));
}

TEST_F(SettingsTest, GarbageAndOverlongValuesDoNotBreakLoading) {
  std::string huge(20000, 'Z');
  WriteConfig("garbage line without section\r\n[Setting]\r\nViewMode=banana\r\nShowMode=\r\n"
              "SkipBadSectorNums=12abc\r\nBadSectorValue=" + huge + "\r\nEnablePreviewer=1\r\n"
              "\x01\x02\xff\xfe=\r\n");
  CConfigSetting s;
  s.Load();
  EXPECT_EQ(0, s.m_nViewMode);  // non-numeric reads as 0
  EXPECT_EQ(0, s.m_bShowMode);
  EXPECT_EQ(12u, s.m_uSkipBadSectorNums);  // leading digits
  EXPECT_EQ(std::wstring(15, L'Z'), s.m_strBadSectorValue);
  EXPECT_EQ(1, s.m_bEnablePreviewer);  // keys after the long line still read
}

TEST_F(SettingsTest, LcidOverridesTheCodePage) {
  struct {
    const char* lcid;
    int start, expect;
  } cases[] = {{"1033", 936, 0}, {"1028", 1252, 950}, {"2052", 1252, 936}, {"0", 950, 950}};
  for (auto& c : cases) {
    WriteConfig(std::string("[Setting]\r\nLCID=") + c.lcid + "\r\n");
    g_nUICodePage = c.start;
    CConfigSetting s;
    s.Load();
    EXPECT_EQ(c.expect, g_nUICodePage) << c.lcid;
  }
}

TEST_F(SettingsTest, EverySetterWritesAtOnceAndRoundTrips) {
  CConfigSetting a;
  a.Load();
  EXPECT_TRUE(a.SetShowMode(1));
  EXPECT_EQ(L"1", RawValue(L"ShowMode"));
  EXPECT_TRUE(a.SetViewMode(0));
  EXPECT_TRUE(a.SetEnablePreviewer(1));
  EXPECT_TRUE(a.SetClusterSize(2048, 1));
  EXPECT_TRUE(a.SetSkipBadSectorNums(128));
  EXPECT_TRUE(a.SetEnableSkipBadSector(1));
  EXPECT_TRUE(a.SetBadSectorValue(L"BAD"));
  EXPECT_EQ(L"BAD", RawValue(L"BadSectorValue"));
  EXPECT_TRUE(a.WriteInt(L"main", L"HasNewInstaller", 1));

  CConfigSetting b;
  b.Load();
  EXPECT_EQ(1, b.m_bShowMode);
  EXPECT_EQ(0, b.m_nViewMode);
  EXPECT_EQ(1, b.m_bEnablePreviewer);
  EXPECT_EQ(2048u, b.m_uClusterSize);
  EXPECT_EQ(128u, b.m_uSkipBadSectorNums);
  EXPECT_EQ(1, b.m_bEnableSkipBadSector);
  EXPECT_EQ(L"BAD", b.m_strBadSectorValue);
  EXPECT_EQ(1, b.ReadInt(L"main", L"HasNewInstaller", 0));
  EXPECT_EQ(7, b.ReadInt(L"main", L"Missing", 7));
}

TEST_F(SettingsTest, SetterIntoMissingFolderFailsQuietly) {
  CConfigSetting s;
  s.Load();
  s.m_strIniPath = m_dir + L"\\no\\such\\folder\\Config.ini";
  EXPECT_FALSE(s.SetViewMode(3));
  EXPECT_EQ(3, s.m_nViewMode);  // the value is kept in memory
}

TEST_F(SettingsTest, OemInfoDefaultsAndOverrides) {
  std::wstring oem = m_dir + L"\\oem.ini";
  {
    COemInfo o;
    EXPECT_EQ(1, o.Load(oem.c_str()));  // missing file
    EXPECT_EQ(1, o.m_bMobileDataRecover);
    EXPECT_EQ(1, o.m_bGuideMobileRecover);
    EXPECT_EQ(0, o.m_bZAvuzaviIsFirst);
    EXPECT_EQ(L"", std::wstring(o.m_szPartnerId));
    EXPECT_TRUE(o.m_strProductName.empty());
    EXPECT_EQ(CDefaultUrls::Get().m_strAndroidAppUrl, o.m_strAndroidAppUrl);
    EXPECT_FALSE(o.m_strAndroidAppUrl.empty());
  }
  ASSERT_TRUE(coretest::WriteBytes(
      oem, "[Partner]\r\nId=ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\nMobileDataRecover=0\r\n"
           "[URL]\r\nPalometMaster=\r\nFennickmaster=http://example.org/f.exe\r\n"
           "[Other]\r\nGuideMobileRecover=7\r\n[LANG]\r\nLCID=2052\r\n"));
  COemInfo o;
  g_nUICodePage = 1252;
  EXPECT_EQ(1, o.LoadLanguage(oem.c_str()));
  EXPECT_EQ(936, g_nUICodePage);
  o.Load(oem.c_str());
  EXPECT_EQ(L"ABCDEFGHIJKLMNO", std::wstring(o.m_szPartnerId));  // at most 15 kept
  EXPECT_EQ(0, o.m_bMobileDataRecover);
  EXPECT_EQ(1, o.m_bGuideMobileRecover);
  EXPECT_EQ(CDefaultUrls::Get().m_strAndroidAppUrl, o.m_strAndroidAppUrl);  // empty keeps default
  EXPECT_EQ(L"http://example.org/f.exe", o.m_strIPhoneAppUrl);
  EXPECT_TRUE(o.m_strTitleLogo.empty());  // no [UI] section
  EXPECT_TRUE(o.m_strSkinFileName.empty());

  ASSERT_TRUE(coretest::WriteBytes(oem, "[LANG]\r\nLCID=0\r\n[UI]\r\nProductName=Brand X\r\n"));
  g_nUICodePage = 950;
  o.LoadLanguage(oem.c_str());
  EXPECT_EQ(950, g_nUICodePage);  // 0 keeps it
  o.Load(oem.c_str());
  EXPECT_EQ(L"Brand X", o.m_strProductName);
}

TEST_F(SettingsTest, NtfsScsiSwitchFromRemoteConfig) {
  EXPECT_EQ(1, ReadNtfsScsiCtl());  // missing file
  ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\remotecfg.dat", "[Scan]\r\nOther=3\r\n"));
  EXPECT_EQ(1, ReadNtfsScsiCtl());  // missing key
  ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\remotecfg.dat", "[Scan]\r\nNTFSSCSICTL=0\r\n"));
  EXPECT_EQ(0, ReadNtfsScsiCtl());
}

}  // namespace
