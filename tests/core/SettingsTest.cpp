#include <gtest/gtest.h>

#include "core/Helpers.h"
#include "core/Settings.h"
#include "CoreTestUtil.h"

namespace {

// Each test gets its own product folder and restores the globals.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
    ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\Config.ini", "[Setting]\r\n" + text));
  }
  std::wstring RawValue(const wchar_t* key) {
    wchar_t buf[256] = {};
    std::wstring ini = m_dir + L"\\Config.ini";
    GetPrivateProfileStringW(L"Setting", key, L"<none>", buf, 256, ini.c_str());
    return buf;
  }
  std::wstring m_dir, m_savedDataDir = g_strAppDataDir;
  int m_savedCodePage = g_nUICodePage;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndCreatesNothing) {
  g_nUICodePage = 936;
  CConfigSetting s;
  s.Load();
  EXPECT_EQ(1, s.m_bLoaded);
  EXPECT_EQ(936, g_nUICodePage);  // no override
  EXPECT_EQ(1, s.m_nViewMode);
  EXPECT_EQ(512u, s.m_uClusterSize);
  EXPECT_EQ(32u, s.m_uSkipBadSectorNums);
  EXPECT_EQ(L"UNREADABLESECTO", s.m_strBadSectorValue);  // 16-character buffer
  EXPECT_FALSE(testpaths::FileExists(m_dir + L"\\Config.ini"));
  EXPECT_EQ(1, ReadNtfsScsiCtl());  // no remote switch file: SCSI reads stay on
  ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\remotecfg.dat", "[Scan]\r\nNTFSSCSICTL=0\r\n"));
  // The file comes from the update server: believed only when the check
  // passes while it is read, never without a check.
  EXPECT_EQ(1, ReadNtfsScsiCtl());
  static int checks;
  static bool pass;
  checks = 0;
  SetRemoteConfigCheck([](const wchar_t*, void (*read)(void*), void* context) {
    ++checks;
    if (pass) read(context);
    return pass;
  });
  pass = false;
  EXPECT_EQ(1, ReadNtfsScsiCtl());
  EXPECT_EQ(1, checks);
  pass = true;
  EXPECT_EQ(0, ReadNtfsScsiCtl());
  EXPECT_EQ(1, ReadScanInPath());
  EXPECT_EQ(3, checks);
  // Any other value counts as 1.
  ASSERT_TRUE(coretest::WriteBytes(m_dir + L"\\remotecfg.dat", "[Scan]\r\nNTFSSCSICTL=7\r\nScanInPath=-3\r\n"));
  EXPECT_EQ(1, ReadNtfsScsiCtl());
  EXPECT_EQ(1, ReadScanInPath());
  SetRemoteConfigCheck(nullptr);
}

TEST_F(SettingsTest, StoredGarbageAndOverlongValues) {
  WriteConfig("ShowMode=5\r\nClusterSize=4096\r\nViewMode=banana\r\nSkipBadSectorNums=12abc\r\n"
              "garbage line\r\nBadSectorValue=" + std::string(20000, 'Z') +
              "\r\n\x01\x02\xff\xfe=\r\nEnablePreviewer=1\r\n");
  CConfigSetting s;
  s.Load();
  EXPECT_EQ(1, s.m_bShowMode);  // any non-zero value
  EXPECT_EQ(4096u, s.m_uClusterSize);
  EXPECT_EQ(0, s.m_nViewMode);              // non-numeric reads as 0
  EXPECT_EQ(12u, s.m_uSkipBadSectorNums);   // leading digits
  EXPECT_EQ(std::wstring(15, L'Z'), s.m_strBadSectorValue);
  EXPECT_EQ(1, s.m_bEnablePreviewer);  // keys after the long and odd lines still read
}

// Invalid stored cluster sizes keep 512; a non-zero LCID sets the code page.
TEST_F(SettingsTest, OneStoredValueAtATime) {
  const struct {
    const char* line;
    int startCp, expectCp;
    unsigned cluster;
  } cases[] = {{"ClusterSize=1000", 936, 936, 512},   {"ClusterSize=16384", 936, 936, 512},
               {"ClusterSize=0", 936, 936, 512},      {"ClusterSize=abc", 936, 936, 512},
               {"ClusterSize=99999999999999999999", 936, 936, 512},
               {"ClusterSize=15872", 936, 936, 15872}, {"LCID=1033", 936, 0, 512},
               {"LCID=1028", 1252, 950, 512},         {"LCID=2052", 1252, 936, 512},
               {"LCID=0", 950, 950, 512}};
  for (auto& c : cases) {
    WriteConfig(std::string(c.line) + "\r\n");
    g_nUICodePage = c.startCp;
    CConfigSetting s;
    s.Load();
    EXPECT_EQ(c.cluster, s.m_uClusterSize) << c.line;
    EXPECT_EQ(c.expectCp, g_nUICodePage) << c.line;
  }
  DeleteFileW((m_dir + L"\\Config.ini").c_str());
  CConfigSetting s;
  s.Load();
  EXPECT_FALSE(s.SetClusterSize(0, 1));  // a zero step would stall the raw scans
  EXPECT_FALSE(s.SetClusterSize(513, 1));
  EXPECT_TRUE(s.SetClusterSize(8192, 0));  // stored, not written
  EXPECT_EQ(8192u, s.m_uClusterSize);
  EXPECT_EQ(L"<none>", RawValue(L"ClusterSize"));
}

TEST_F(SettingsTest, SettersWriteAtOnceAndRoundTrip) {
  CConfigSetting a;
  a.Load();
  EXPECT_TRUE(a.SetShowMode(1));
  EXPECT_EQ(L"1", RawValue(L"ShowMode"));  // no save step
  EXPECT_TRUE(a.SetViewMode(0));
  EXPECT_TRUE(a.SetEnablePreviewer(1));
  EXPECT_TRUE(a.SetClusterSize(2048, 1));
  EXPECT_TRUE(a.SetSkipBadSectorNums(128));
  EXPECT_TRUE(a.SetEnableSkipBadSector(1));
  EXPECT_TRUE(a.SetBadSectorValue(L"BAD"));
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
  // A write that cannot happen is reported; the value is kept in memory.
  b.m_strIniPath = m_dir + L"\\no\\such\\folder\\Config.ini";
  EXPECT_FALSE(b.SetViewMode(3));
  EXPECT_EQ(3, b.m_nViewMode);
}

TEST_F(SettingsTest, OemInfoDefaultsAndOverrides) {
  std::wstring oem = m_dir + L"\\oem.ini";
  COemInfo o;
  EXPECT_EQ(1, o.Load(oem.c_str()));  // missing file
  EXPECT_EQ(1, o.m_bMobileDataRecover);
  ASSERT_TRUE(coretest::WriteBytes(
      oem, "[Partner]\r\nId=ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\nMobileDataRecover=0\r\n"
           "[URL]\r\nPalometMaster=\r\nFennickmaster=http://example.org/f.exe\r\n"
           "[LANG]\r\nLCID=2052\r\n"));
  g_nUICodePage = 1252;
  EXPECT_EQ(1, o.LoadLanguage(oem.c_str()));
  EXPECT_EQ(936, g_nUICodePage);
  o.Load(oem.c_str());
  EXPECT_EQ(L"ABCDEFGHIJKLMNO", std::wstring(o.m_szPartnerId));  // at most 15 kept
  EXPECT_EQ(0, o.m_bMobileDataRecover);
  EXPECT_EQ(CDefaultUrls::Get().m_strAndroidAppUrl, o.m_strAndroidAppUrl);  // empty keeps default
  EXPECT_EQ(L"http://example.org/f.exe", o.m_strIPhoneAppUrl);
  EXPECT_TRUE(o.m_strProductName.empty());  // no [UI] section
}

}  // namespace
