#include "views/PreviewHost.h"

#include "views/PreviewContent.h"
#include "views/PreviewOpen.h"

namespace {

PreviewEntry EntryOf(const PreviewTarget& target)
{
    PreviewEntry entry;
    entry.scanKind = target.scanKind;
    entry.item = target.item;
    entry.volume = target.volume;
    entry.extra = target.lost;
    entry.hit = target.hit;
    entry.device = target.device ? target.device : INVALID_HANDLE_VALUE;
    entry.sourceIsDevice = target.targetKind != 0;
    return entry;
}

// The program's previews: the preview window and the media player, and the
// found-file readers behind the thumbnails.
class CProgramPreview : public IPreviewHost
{
public:
    void ShowPreviewWindow(const PreviewTarget& target) override
    {
        ShowEntryPreview(target.owner, target.frame, EntryOf(target), 2);
    }
    int ShowMediaPlayer(const PreviewTarget& target) override
    {
        return ShowEntryPreview(target.owner, target.frame, EntryOf(target), target.mediaClass) ? 1 : 0;
    }
    IStream* OpenEntryStream(const PreviewTarget& target, uint64_t cap) override
    {
        PreviewRequest request;
        if (target.hit)
            request.InitCarved(target.hit, target.device, target.targetKind != 0, target.scanKind);
        else if (target.item)
            request.Init(target.volume, target.lost, target.item, target.scanKind, target.frame);
        else
            return nullptr;
        return request.OpenStream(cap);
    }
};

CProgramPreview g_ProgramPreview;
IPreviewHost* g_pPreviewHost = &g_ProgramPreview;

}  // namespace

IPreviewHost& PreviewHost()
{
    return *g_pPreviewHost;
}

IPreviewHost* SetPreviewHost(IPreviewHost* host)
{
    IPreviewHost* old = g_pPreviewHost;
    g_pPreviewHost = host ? host : &g_ProgramPreview;
    return old;
}
