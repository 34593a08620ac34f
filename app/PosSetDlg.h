// The scan-range dialog: two sliders over one scale of 100 steps of the
// device, the first holding the range's start and the second its end. A
// thumb pushed against the boundary between them moves the boundary one
// step at a time while the other slider has room. "OK" writes the range
// into the caller's record, which the deep scan then reads.
#pragma once
#include <cstdint>

#include "app/Services.h"
#include "app/WindowImplBaseShw.h"

class CPosSetDlg : public CSkinDialog
{
public:
    // The device's size in two 32-bit halves and the caller's range record
    // (its values are the dialog's start; "OK" writes it back).
    CPosSetDlg(DWORD sizeLow, DWORD sizeHigh, ScanRange* range);

    virtual void Notify(TNotifyUI& msg);

    enum { kSteps = 100, kStepPixels = 4, kThumbPixels = 12, kDefaultBoundary = 50 };

    // Steps of the range shown now: start, end, and the boundary between
    // the sliders (the first slider's maximum).
    int GetStartStep() const;
    int GetEndStep() const;
    int GetBoundary() const { return m_nBoundary; }
    // The byte range of steps over a device: start rounded down and end up
    // to whole sectors; an end step of kSteps gives end 0 (the device's end).
    static void StepsToRange(uint64_t size, int startStep, int endStep, ScanRange& out);
    // The steps of a stored range over a device of this size (the whole
    // device when the record was made for another size).
    static void RangeToSteps(const ScanRange& range, uint64_t size, int& startStep, int& endStep);

private:
    void OnWindowInit();
    // Puts the sliders at startStep / endStep with the boundary between them.
    void SetSteps(int startStep, int endStep);
    void PlaceSliders();
    void PlaceLabels();
    bool OnSlider1Event(void* param);
    bool OnSlider2Event(void* param);

    uint64_t m_u64Size;
    ScanRange m_Range;
    ScanRange* m_pCallerRange;
    DuiLib::CSliderUI* m_pSlider1;
    DuiLib::CSliderUI* m_pSlider2;
    CControlUI* m_pBeginPos;
    CControlUI* m_pEndPos;
    int m_nBoundary;
    RECT m_rcTrack;  // the sliders' band inside their container
};
