#include "core/Settings.h"

#include <cwchar>

#include "core/Helpers.h"

CConfigSetting g_ConfigSetting;
COemInfo g_OemInfo;

namespace {
const wchar_t kSetting[] = L"Setting";

// Reads a string key into a buffer of cap characters.
std::wstring ReadProfileText(const wchar_t* section, const wchar_t* key, const wchar_t* def,
                             DWORD cap, const wchar_t* path) {
  std::wstring buf(cap, L'\0');
  DWORD n = GetPrivateProfileStringW(section, key, def, &buf[0], cap, path);
  if (n >= cap) n = cap ? cap - 1 : 0;
  buf.resize(wcsnlen(buf.c_str(), n));
  return buf;
}
}  // namespace

int CodePageFromLcid(int lcid) {
  if (lcid == 1028) return 950;
  if (lcid == 2052) return 936;
  return 0;
}

CConfigSetting::CConfigSetting()
    : m_bLoaded(0),
      m_bEnablePreviewer(0),
      m_nLCID(0),
      m_bShowMode(0),
      m_nViewMode(1),
      m_uClusterSize(512),
      m_uSkipBadSectorNums(32),
      m_bEnableSkipBadSector(0),
      m_bEnableUSNJournal(0) {}

void CConfigSetting::Load() {
  m_strIniPath = GetAppDataFilePath(L"Config.ini");
  m_bLoaded = 1;
  m_nLCID = ReadInt(kSetting, L"LCID", 0);
  if (m_nLCID != 0) g_nUICodePage = CodePageFromLcid(m_nLCID);
  if (ReadInt(kSetting, L"ShowMode", 0) != 0) m_bShowMode = 1;
  SetClusterSize((uint32_t)ReadInt(kSetting, L"ClusterSize", 512), 0);
  m_nViewMode = ReadInt(kSetting, L"ViewMode", 1);
  m_bEnablePreviewer = ReadInt(kSetting, L"EnablePreviewer", 0);
  m_bEnableSkipBadSector = ReadInt(kSetting, L"EnableSkipBadSector", 0);
  m_uSkipBadSectorNums = (uint32_t)ReadInt(kSetting, L"SkipBadSectorNums", 32);
  m_bEnableUSNJournal = ReadInt(kSetting, L"EnableUSNJournal", 0);
  m_strBadSectorValue =
      ReadProfileText(kSetting, L"BadSectorValue", L"UNREADABLESECTOR", 16, m_strIniPath.c_str());
}

BOOL CConfigSetting::SetShowMode(int mode) {
  m_bShowMode = mode;
  return WriteInt(kSetting, L"ShowMode", mode);
}

BOOL CConfigSetting::SetViewMode(int mode) {
  m_nViewMode = mode;
  return WriteInt(kSetting, L"ViewMode", mode);
}

BOOL CConfigSetting::SetEnablePreviewer(int enable) {
  m_bEnablePreviewer = enable;
  return WriteInt(kSetting, L"EnablePreviewer", enable);
}

BOOL CConfigSetting::SetClusterSize(uint32_t size, int bSave) {
  // A step of 0 would stall every raw scan that advances by it.
  if (size == 0 || size > 0x3FFF || size % 512 != 0) return FALSE;
  m_uClusterSize = size;
  if (bSave) return WriteInt(kSetting, L"ClusterSize", (int)size);
  return TRUE;
}

BOOL CConfigSetting::SetSkipBadSectorNums(uint32_t count) {
  m_uSkipBadSectorNums = count;
  return WriteInt(kSetting, L"SkipBadSectorNums", (int)count);
}

BOOL CConfigSetting::SetEnableSkipBadSector(int enable) {
  m_bEnableSkipBadSector = enable;
  return WriteInt(kSetting, L"EnableSkipBadSector", enable);
}

BOOL CConfigSetting::SetBadSectorValue(const wchar_t* text) {
  m_strBadSectorValue = text ? text : L"";
  return WriteString(kSetting, L"BadSectorValue", m_strBadSectorValue.c_str());
}

BOOL CConfigSetting::WriteInt(const wchar_t* section, const wchar_t* key, int value) {
  wchar_t text[16] = {};
  _snwprintf(text, 15, L"%d", value);
  return WritePrivateProfileStringW(section, key, text, m_strIniPath.c_str());
}

int CConfigSetting::ReadInt(const wchar_t* section, const wchar_t* key, int def) {
  return (int)GetPrivateProfileIntW(section, key, def, m_strIniPath.c_str());
}

BOOL CConfigSetting::WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* text) {
  return WritePrivateProfileStringW(section, key, text, m_strIniPath.c_str());
}

COemInfo::COemInfo()
    : m_szPartnerId{},
      m_bMobileDataRecover(1),
      m_bGuideMobileRecover(1),
      m_bZAvuzaviIsFirst(0),
      m_bChatAppObvious(0) {}

int COemInfo::LoadLanguage(const wchar_t* path) {
  int lcid = (int)GetPrivateProfileIntW(L"LANG", L"LCID", 0, path);
  if (lcid != 0) g_nUICodePage = CodePageFromLcid(lcid);
  return 1;
}

int COemInfo::Load(const wchar_t* path) {
  const CDefaultUrls& urls = CDefaultUrls::Get();
  m_strAndroidAppUrl = urls.m_strAndroidAppUrl;
  m_strIPhoneAppUrl = urls.m_strIPhoneAppUrl;

  std::wstring id = ReadProfileText(L"Partner", L"Id", L"", 16, path);
  lstrcpynW(m_szPartnerId, id.c_str(), 16);

  struct {
    const wchar_t* section;
    const wchar_t* key;
    std::wstring* target;
  } texts[] = {
      {L"Partner", L"NewVersion", &m_strNewVersion},
      {L"Partner", L"Update", &m_strUpdate},
      {L"URL", L"PalometMaster", &m_strAndroidAppUrl},
      {L"URL", L"Fennickmaster", &m_strIPhoneAppUrl},
      {L"UI", L"TitleLogo", &m_strTitleLogo},
      {L"UI", L"AboutLogo", &m_strAboutLogo},
      {L"UI", L"ProductName", &m_strProductName},
      {L"UI", L"WindowBgImage", &m_strWindowBgImage},
      {L"UI", L"LineImage", &m_strLineImage},
      {L"UI", L"SkinFileName", &m_strSkinFileName},
      {L"UI", L"CompanyName", &m_strCompanyName},
      {L"UI", L"OfficialSite", &m_strOfficialSite},
      {L"UI", L"DlgBgImage", &m_strDlgBgImage},
  };
  for (auto& t : texts) {
    std::wstring v = ReadProfileText(t.section, t.key, L"", 260, path);
    if (!v.empty()) *t.target = v;
  }

  struct {
    const wchar_t* section;
    const wchar_t* key;
    uint8_t* target;
  } flags[] = {
      {L"Partner", L"MobileDataRecover", &m_bMobileDataRecover},
      {L"Other", L"GuideMobileRecover", &m_bGuideMobileRecover},
      {L"UI", L"ZAvuzaviIsFirst", &m_bZAvuzaviIsFirst},
      {L"UI", L"ChatAppObvious", &m_bChatAppObvious},
  };
  for (auto& f : flags) *f.target = GetPrivateProfileIntW(f.section, f.key, *f.target, path) ? 1 : 0;
  return 1;
}

std::wstring ReadServerBaseSetting() {
  return ReadProfileText(L"Setting", L"ServerBase", L"", 260, GetAppDataFilePath(L"Config.ini").c_str());
}

CDefaultUrls::CDefaultUrls(bool international, const std::wstring& serverBase) {
  std::wstring base = serverBase;
  while (!base.empty() && base.back() == L'/') base.pop_back();
  const bool hasScheme = base.find(L"://") != std::wstring::npos;
  const std::wstring site =
      !base.empty() ? (hasScheme ? base : L"http://" + base)
                    : international ? L"http://www.delvaro-recovery.example" : L"http://www.delvaro-recovery-cn.example";
  m_strUpdateSetupUrl = site + L"/update/OvoDelvaroSetup.exe";
  m_strNewVersionUrl = site + L"/update/newversion.htm";
  m_strPatchUrl = site + L"/update/patch.bin";
  m_strPatchVersionUrl = site + L"/update/patchver.htm";
  m_strHomeUrl = site + L"/";
  m_strAndroidAppUrl = site + L"/download/OvoPalometSetup.exe";
  m_strIPhoneAppUrl = site + L"/download/OvoFennickSetup.exe";
  m_strSupportUrl = site + L"/support.htm";
  m_strDecoderUrl = site + L"/decoder_setup.exe";
  m_strReportHost = !base.empty() ? base
                     : international ? L"stat.delvaro-recovery.example" : L"stat.delvaro-recovery-cn.example";
  m_strInfoUrl = site + L"/info.htm";
  m_strRemoteCfgUrl = site + L"/remotecfg.cab";
}

const CDefaultUrls& CDefaultUrls::Get() {
  static const CDefaultUrls urls(IsNonChineseLocale() != 0, ReadServerBaseSetting());
  return urls;
}

namespace {
volatile RemoteConfigCheck g_remoteConfigCheck = nullptr;

struct RemoteSwitchRead {
  const wchar_t* path;
  const wchar_t* key;
  int value;
};

// "remotecfg.dat" comes from the update server: its switches are 0 or 1.
int ReadRemoteSwitch(const wchar_t* key) {
  const std::wstring path = GetAppDataFilePath(L"remotecfg.dat");
  RemoteSwitchRead r = {path.c_str(), key, 1};
  const RemoteConfigCheck check = g_remoteConfigCheck;
  if (!check || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return 1;
  auto read = [](void* context) {
    RemoteSwitchRead* r = static_cast<RemoteSwitchRead*>(context);
    r->value = GetPrivateProfileIntW(L"Scan", r->key, 1, r->path) != 0 ? 1 : 0;
  };
  return check(path.c_str(), read, &r) ? r.value : 1;
}
}  // namespace

void SetRemoteConfigCheck(RemoteConfigCheck check) { g_remoteConfigCheck = check; }

int ReadNtfsScsiCtl() { return ReadRemoteSwitch(L"NTFSSCSICTL"); }

int ReadScanInPath() { return ReadRemoteSwitch(L"ScanInPath"); }
