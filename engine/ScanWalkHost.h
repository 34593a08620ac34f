// What a file-system walk needs of whoever runs it: the pause gate and stop
// flag, progress points, the counters and the hand-over of found entries.
// The scan controller and the found-partition scan each provide one, so the
// same walker cores serve a volume opened by drive letter and a lost
// partition at an offset inside a disk.
#pragma once
#include <cstdint>

#include "engine/FoundItem.h"

class IScanWalkHost
{
public:
    virtual ~IScanWalkHost() {}
    // Waits while paused; true when the walk must end now.
    virtual bool WaitAndCheckStop() = 0;
    virtual bool IsStopRequested() = 0;
    // A progress point; the host decides what reaches the window.
    virtual void ProgressPoint(int done, int total) = 0;
    // Takes ownership of a found entry; true when it was kept (the host
    // counts it then).
    virtual bool HandOver(CFoundItem* item) = 0;
    virtual void CountExamined() = 0;
    virtual uint64_t Examined() = 0;
    virtual uint64_t Found() = 0;
    // A stretch of the device (byte offset and length) that could not be
    // read and was passed over; the host tells the user at the end.
    virtual void NoteUnreadable(uint64_t offset, uint64_t bytes) { (void)offset, (void)bytes; }
    // The device stopped answering at this offset: the walk ends, and what
    // it found so far stays listed.
    virtual void NoteDeviceGone(uint64_t offset) { (void)offset; }
};

// A host for lookups that list nothing: never paused or stopped, found
// entries dropped.
class CIdleWalkHost : public IScanWalkHost
{
public:
    bool WaitAndCheckStop() override { return false; }
    bool IsStopRequested() override { return false; }
    void ProgressPoint(int, int) override {}
    bool HandOver(CFoundItem* item) override
    {
        delete item;
        return false;
    }
    void CountExamined() override {}
    uint64_t Examined() override { return 0; }
    uint64_t Found() override { return 0; }
};
