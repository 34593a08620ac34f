// One file fetched over HTTP (or HTTPS where the address says so) into a
// local path. The data lands in "<target>.upd" first and replaces the
// target only when the whole declared length has arrived (and, when a trust
// policy is given, passed it). Progress goes to an optional callback on the
// downloading thread; the object starts no thread of its own.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

class CTrustPolicy;

// Progress callback. Called on the downloading thread.
class IDownLoadCallBack
{
public:
    // The response status; once more with 500 when the download fails.
    virtual int OnStatus(int status) = 0;
    // The URL path and the declared length (status 200 only).
    virtual int OnFileInfo(const wchar_t* urlPath, int length) = 0;
    // After every block: failed is set when the last read or write failed.
    // Returning 1 stops the transfer.
    virtual int OnProgress(BOOL failed, int reserved, unsigned done, unsigned total) = 0;
    // Once, when the whole declared length arrived.
    virtual int OnComplete() = 0;

protected:
    ~IDownLoadCallBack() {}
};

// done / total as a whole percentage, truncated (99.9 % is 99); 100 for an
// empty file.
int ProgressPercent(unsigned long long done, unsigned long long total);

// Why the last download ended.
enum DownloadResult
{
    DL_OK = 0,
    DL_BAD_ARGUMENT,  // unusable address or target path (too long, no scheme...)
    DL_NETWORK,       // no connection, request or status
    DL_HTTP_STATUS,   // a status other than 200
    DL_NO_LENGTH,     // no usable Content-Length
    DL_TOO_LARGE,     // declared length above the limit or the free space
    DL_FILE_ERROR,    // the temporary file could not be created or written
    DL_INCOMPLETE,    // the server ended before the declared length
    DL_CANCELLED,     // the callback or Abort stopped it
    DL_NOT_VERIFIED,  // complete, but refused by the trust policy
    DL_MOVE_FAILED,   // the target could not be replaced
};

class CDownloader
{
public:
    // Nothing larger is accepted (the callback reports lengths as int).
    static const unsigned long long kMaxLength = 0x7FFFFFFF;

    explicit CDownloader(IDownLoadCallBack* callback = NULL);
    ~CDownloader();
    void SetCallBack(IDownLoadCallBack* callback) { m_pCallBack = callback; }

    // 0 on success, E_FAIL on any failure (GetResult says which). The
    // disposition is used for the temporary file (callers pass
    // CREATE_ALWAYS). A failed download leaves no ".upd" file behind and the
    // target as it was.
    HRESULT Download(const wchar_t* url, const wchar_t* target, DWORD disposition);

    // With a policy that has something configured, the complete temporary
    // file must pass it before it replaces the target (NULL: no check).
    void SetTrustPolicy(const CTrustPolicy* policy) { m_pPolicy = policy; }

    // Stops a running download from any thread: the transfer ends after
    // the block under way, or, while it waits for a silent server, at the
    // receive time-out. No handle is touched from the calling thread. Later
    // downloads of this object end at once.
    void Abort();
    // The request of the transfer under way, or NULL (for the tests).
    HINTERNET GetActiveRequest();

    DownloadResult GetResult() const { return m_nResult; }
    int GetHttpStatus() const { return m_nStatus; }
    unsigned long long GetDeclaredLength() const { return m_ullDeclared; }

    // Connect and receive time-out of every download (30 s by default).
    static void SetTimeout(DWORD ms);

    // The target path with ".upd" appended.
    static std::wstring TempPathOf(const wchar_t* target);

protected:
    // 0 complete, E_FAIL when the transfer never started, 1 when it started
    // but did not complete.
    HRESULT Fetch(const std::wstring& host, INTERNET_PORT port, bool secure, const std::wstring& urlPath,
                  const std::wstring& tempPath, DWORD disposition);
    BOOL SaveStream(HINTERNET request, const std::wstring& tempPath, unsigned long long length, DWORD disposition);

private:
    bool IsAborted();
    // Publishes or withdraws the request handle of the transfer under way.
    bool SetActiveRequest(HINTERNET request);
    void CloseActiveRequest(HINTERNET request);

    IDownLoadCallBack* m_pCallBack;
    const CTrustPolicy* m_pPolicy;
    DownloadResult m_nResult;
    int m_nStatus;
    unsigned long long m_ullDeclared;
    CRITICAL_SECTION m_lock;
    HINTERNET m_hActive;
    bool m_bAborted;
};

// A file name taken from the last "/" part of an address: the query and
// fragment dropped, only letters, digits and "._-()" kept ("_" for the
// rest), no leading dot and no ".." run; fallback when nothing usable is
// left. At most 100 characters.
std::wstring SafeDownloadName(const std::wstring& url, const wchar_t* fallback);
// A new folder of this process's own under the temporary folder (a name no
// one used before), marked as in use until RemoveDownloadFolder or the end
// of the process; empty on failure.
std::wstring CreatePrivateDownloadFolder();
// Deletes the files directly inside folder and the folder itself.
void RemoveDownloadFolder(const std::wstring& folder);
// Start-up: removes the private folders that earlier runs left behind (an
// installer started just before the program ended, a run that was killed);
// folders another process still uses stay. The number removed.
int RemoveStaleDownloadFolders();
