#include "views/PreviewHost.h"

namespace {

// Until the preview windows are part of the program: nothing is shown, and
// no entry is read (thumbnails then come from the shell's icons).
class CNoPreview : public IPreviewHost
{
public:
    void ShowPreviewWindow(const PreviewTarget&) override {}
    int ShowMediaPlayer(const PreviewTarget&) override { return 0; }
    IStream* OpenEntryStream(const PreviewTarget&, uint64_t) override { return nullptr; }
};

CNoPreview g_NoPreview;
IPreviewHost* g_pPreviewHost = &g_NoPreview;

}  // namespace

IPreviewHost& PreviewHost()
{
    return *g_pPreviewHost;
}

IPreviewHost* SetPreviewHost(IPreviewHost* host)
{
    IPreviewHost* old = g_pPreviewHost;
    g_pPreviewHost = host ? host : &g_NoPreview;
    return old;
}
