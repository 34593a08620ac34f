// The trust policy over the test-built stand-ins: unsigned, signed by the
// test publisher, signed and then changed, signed by an impostor of the
// same name; and what the downloader and the installer runner do with it.
#include "UpdateTestUtil.h"
#include "net/DownLoadAssistant.h"
#include "net/TrustCheck.h"

using namespace updtest;

namespace {

TrustVerdict Verdict(const std::wstring& path, const CTrustPolicy& policy)
{
    CVerifiedFile f(path.c_str(), policy);
    return f.Verdict();
}

TEST(Trust, NothingConfiguredTrustsNothing)
{
    CTrustPolicy none;
    EXPECT_FALSE(none.IsConfigured());
    EXPECT_EQ(TRUST_NO_POLICY, Verdict(FakeInstaller(), none));
    if (HaveSigned()) {
        EXPECT_EQ(TRUST_NO_POLICY, Verdict(Signed(L"installer_signed.exe"), none));
    }
}

TEST(Trust, FileHash)
{
    const std::string bytes = testpaths::ReadWholeFile(FakeInstaller());
    ASSERT_FALSE(bytes.empty());
    CTrustPolicy p;
    Sha256Digest d;
    ASSERT_TRUE(Sha256OfBytes(bytes.data(), bytes.size(), d));
    p.m_fileHashes.push_back(d);
    EXPECT_EQ(TRUST_OK, Verdict(FakeInstaller(), p));
    EXPECT_NE(TRUST_OK, Verdict(FakePatch(), p));
    EXPECT_EQ(TRUST_UNREADABLE, Verdict(FakeInstaller() + L".missing", p));
    // Known answer: SHA-256 of "abc".
    ASSERT_TRUE(Sha256OfBytes("abc", 3, d));
    EXPECT_EQ(L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex(d));
}

TEST(Trust, SignaturesAgainstPinnedAndNamedPublishers)
{
    if (!HaveSigned())
        GTEST_SKIP() << "no signed stand-ins (openssl or osslsigncode missing at build time)";
    CTrustPolicy pin = PinPolicy();
    EXPECT_EQ(TRUST_OK, Verdict(Signed(L"installer_signed.exe"), pin));
    EXPECT_EQ(TRUST_OK, Verdict(Signed(L"patch_signed.dll"), pin));
    EXPECT_EQ(TRUST_BAD_SIGNATURE, Verdict(FakeInstaller(), pin));
    EXPECT_EQ(TRUST_BAD_SIGNATURE, Verdict(Signed(L"installer_tampered.exe"), pin));
    EXPECT_EQ(TRUST_WRONG_PUBLISHER, Verdict(Signed(L"installer_impostor.exe"), pin));

    // A name alone needs a chain to a trusted root: the test certificate is
    // self-signed, so neither it nor its impostor passes (Wine's own check
    // would let both through).
    CTrustPolicy named;
    named.m_publishers.push_back(L"Delvaro Test Publisher");
    EXPECT_EQ(TRUST_UNTRUSTED_CHAIN, Verdict(Signed(L"installer_signed.exe"), named));
    EXPECT_EQ(TRUST_UNTRUSTED_CHAIN, Verdict(Signed(L"installer_impostor.exe"), named));
    CTrustPolicy other;
    other.m_publishers.push_back(L"Someone Else");
    EXPECT_EQ(TRUST_WRONG_PUBLISHER, Verdict(Signed(L"installer_signed.exe"), other));
}

TEST(Trust, CheckedFileStaysUnchangedWhileHeld)
{
    const std::wstring path = testpaths::MakeTempDir(L"trustlock") + L"\\setup.exe";
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), path.c_str(), FALSE));
    const std::string bytes = testpaths::ReadWholeFile(path);
    CTrustPolicy p;
    p.m_fileHashes.resize(1);
    ASSERT_TRUE(Sha256OfBytes(bytes.data(), bytes.size(), p.m_fileHashes[0]));
    {
        CVerifiedFile held(path.c_str(), p);
        ASSERT_TRUE(held.IsTrusted());
        HANDLE w = CreateFileW(path.c_str(), GENERIC_WRITE, 7, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(INVALID_HANDLE_VALUE, w);
        EXPECT_FALSE(MoveFileExW(FakePatch().c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
        EXPECT_FALSE(DeleteFileW(path.c_str()));
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(Trust, PolicyFromIni)
{
    const std::wstring ini = testpaths::MakeTempDir(L"trustini") + L"\\oem.ini";
    const std::string good = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    ASSERT_TRUE(WriteFileBytes(ini, "[Trust]\r\nPublisher= Maker Ltd | Maker GmbH \r\nCertSha256=" + good +
                                        ", nothex, " + std::string(64, 'A') + "\r\nFileSha256=" + good.substr(1) +
                                        "\r\n"));
    CTrustPolicy p;
    p.Load(ini.c_str());
    ASSERT_EQ(2u, p.m_publishers.size());
    EXPECT_EQ(L"Maker Ltd", p.m_publishers[0]);
    EXPECT_EQ(L"Maker GmbH", p.m_publishers[1]);
    EXPECT_EQ(2u, p.m_certPins.size());
    EXPECT_EQ(0u, p.m_fileHashes.size());  // 63 digits: skipped
    p.Load((ini + L".missing").c_str());
    EXPECT_FALSE(p.IsConfigured());
}

TEST(Trust, InstallerRunsOnlyWhenTrustedAndReportsItsExitCode)
{
    const std::wstring dir = testpaths::MakeTempDir(L"trustrun");
    InstallerEnv env(dir + L"\\runs.txt", 3);
    DWORD code = 0;
    EXPECT_EQ(INSTALL_NOT_VERIFIED, RunInstallerAndWait(FakeInstaller(), L"/S", CTrustPolicy(), &code));
    CTrustPolicy pin = PinPolicy();
    EXPECT_EQ(INSTALL_NOT_VERIFIED, RunInstallerAndWait(FakeInstaller(), L"/S", pin, &code));
    EXPECT_TRUE(env.Runs().empty());
    if (!HaveSigned())
        return;
    EXPECT_EQ(INSTALL_NOT_VERIFIED, RunInstallerAndWait(Signed(L"installer_tampered.exe"), L"/S", pin, &code));
    EXPECT_TRUE(env.Runs().empty());
    InstallOutcome outcome = RunInstallerAndWait(Signed(L"installer_signed.exe"), L"/S", pin, &code);
    DWORD error = GetLastError();  // why it did not start, when it did not
    EXPECT_EQ(INSTALL_FAILED, outcome) << "error " << error;
    EXPECT_EQ(3u, code);
    SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", L"0");
    outcome = RunInstallerAndWait(Signed(L"installer_signed.exe"), L"/VERYSILENT /NORESTART", pin, &code);
    error = GetLastError();
    EXPECT_EQ(INSTALL_OK, outcome) << "error " << error;
    std::vector<std::string> runs = env.Runs();
    ASSERT_EQ(2u, runs.size());
    EXPECT_NE(std::string::npos, runs[0].find("installer_signed.exe\" /S"));
    EXPECT_NE(std::string::npos, runs[1].find("\" /VERYSILENT /NORESTART"));
}

}  // namespace
