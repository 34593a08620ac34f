// The user's settings ("Config.ini" in the product folder), the partner's
// settings ("oem.ini" beside the program) and the built-in web addresses.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

class CConfigSetting {
 public:
  CConfigSetting();

  // Reads "Config.ini" (section "Setting") from the product folder; a
  // missing file or key keeps the default.
  void Load();

  // Each setter stores the value and writes it to the file at once.
  BOOL SetShowMode(int mode);
  BOOL SetViewMode(int mode);
  BOOL SetEnablePreviewer(int enable);
  // Accepted only for a non-zero multiple of 512 up to 16383; else ignored.
  BOOL SetClusterSize(uint32_t size, int bSave);
  BOOL SetSkipBadSectorNums(uint32_t count);
  BOOL SetEnableSkipBadSector(int enable);
  BOOL SetBadSectorValue(const wchar_t* text);

  BOOL WriteInt(const wchar_t* section, const wchar_t* key, int value);
  int ReadInt(const wchar_t* section, const wchar_t* key, int def);
  BOOL WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* text);

  uint8_t m_bLoaded;
  int m_bEnablePreviewer;
  int m_nLCID;
  int m_bShowMode;
  int m_nViewMode;
  std::wstring m_strIniPath;
  uint32_t m_uClusterSize;
  uint32_t m_uSkipBadSectorNums;
  int m_bEnableSkipBadSector;
  std::wstring m_strBadSectorValue;
  int m_bEnableUSNJournal;
};

class COemInfo {
 public:
  COemInfo();
  // Applies [LANG] LCID to the UI code page. Returns 1.
  int LoadLanguage(const wchar_t* path);
  // Reads the partner, address, flag and branding values. Returns 1.
  int Load(const wchar_t* path);

  wchar_t m_szPartnerId[16];
  std::wstring m_strNewVersion;
  std::wstring m_strUpdate;
  std::wstring m_strAndroidAppUrl;
  std::wstring m_strIPhoneAppUrl;
  uint8_t m_bMobileDataRecover;
  uint8_t m_bGuideMobileRecover;
  uint8_t m_bZAvuzaviIsFirst;
  uint8_t m_bChatAppObvious;
  std::wstring m_strTitleLogo;
  std::wstring m_strAboutLogo;
  std::wstring m_strProductName;
  std::wstring m_strWindowBgImage;
  std::wstring m_strLineImage;
  std::wstring m_strSkinFileName;
  std::wstring m_strCompanyName;
  std::wstring m_strOfficialSite;
  std::wstring m_strDlgBgImage;
};

// Built-in addresses of the web services; one of two sets, chosen by the UI
// language when the object is first used.
class CDefaultUrls {
 public:
  // The set start-up uses: "ServerBase" of section "Setting" in "Config.ini"
  // (see ReadServerBaseSetting) replaces the built-in servers when given.
  static const CDefaultUrls& Get();
  // One set; a non-empty serverBase ("host[:port]", or with "http://" or
  // "https://") replaces both the update server's site and the report
  // server, keeping its scheme and port.
  CDefaultUrls(bool international, const std::wstring& serverBase);

  std::wstring m_strUpdateSetupUrl;    // next-version installer
  std::wstring m_strNewVersionUrl;     // new-version page
  std::wstring m_strPatchUrl;          // patch archive
  std::wstring m_strPatchVersionUrl;   // patch version page
  std::wstring m_strHomeUrl;           // home page
  std::wstring m_strAndroidAppUrl;     // Android companion installer
  std::wstring m_strIPhoneAppUrl;      // iPhone companion installer
  std::wstring m_strSupportUrl;        // support contact
  std::wstring m_strDecoderUrl;        // decoder download
  std::wstring m_strReportHost;        // report server host name
  std::wstring m_strInfoUrl;           // information page
  std::wstring m_strRemoteCfgUrl;      // scan-switch archive
};

// "ServerBase" of section "Setting" in "Config.ini"; empty when not set.
std::wstring ReadServerBaseSetting();

// Code page of an LCID override: 950 for 1028, 936 for 2052, 0 for others.
int CodePageFromLcid(int lcid);

// "remotecfg.dat" comes from the update server and changes scan switches:
// it is believed only when a check passes at the time it is read (the
// updater's trust policy, net/Update.h). The check calls read while it
// holds the file so that no one can change or replace it, and returns
// false (read not called) when the file does not pass. Without a check the
// file is not believed either.
typedef bool (*RemoteConfigCheck)(const wchar_t* path, void (*read)(void* context), void* context);
void SetRemoteConfigCheck(RemoteConfigCheck check);
// "NTFSSCSICTL" of section "Scan" in "remotecfg.dat": 0 or 1, 1 when
// missing or not believed.
int ReadNtfsScsiCtl();
// "ScanInPath" of the same section: 0 or 1, 1 when missing or not believed.
int ReadScanInPath();

extern CConfigSetting g_ConfigSetting;
extern COemInfo g_OemInfo;
