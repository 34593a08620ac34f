#include "app/PosSetDlg.h"

#include <string>

#include "core/Helpers.h"

namespace {
const uint64_t kSector = 512;

std::wstring SizeText(uint64_t bytes)
{
    wchar_t buf[64] = {};
    FormatSizeText(bytes, buf, (int)sizeof(buf));
    return buf;
}

std::wstring PosText(int l, int t, int r, int b)
{
    return std::to_wstring(l) + L"," + std::to_wstring(t) + L"," + std::to_wstring(r) + L"," + std::to_wstring(b);
}

int Clamp(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}
}  // namespace

CPosSetDlg::CPosSetDlg(DWORD sizeLow, DWORD sizeHigh, ScanRange* range)
    : CSkinDialog(L"dlg_posset"),
      m_u64Size(((uint64_t)sizeHigh << 32) | sizeLow),
      m_pCallerRange(range),
      m_pSlider1(NULL),
      m_pSlider2(NULL),
      m_pBeginPos(NULL),
      m_pEndPos(NULL),
      m_nBoundary(kDefaultBoundary),
      m_rcTrack()
{
    if (range)
        m_Range = *range;
}

void CPosSetDlg::StepsToRange(uint64_t size, int startStep, int endStep, ScanRange& out)
{
    startStep = Clamp(startStep, 0, kSteps - 1);
    endStep = Clamp(endStep, startStep + 1, kSteps);
    out.u64DeviceSize = size;
    // size * step / 100 without overflow for any 64-bit size.
    auto at = [size](int step) { return size / kSteps * step + size % kSteps * step / kSteps; };
    out.u64Start = at(startStep) / kSector * kSector;
    if (endStep >= kSteps) {
        out.u64End = 0;
    } else {
        uint64_t end = (at(endStep) + kSector - 1) / kSector * kSector;
        out.u64End = end > out.u64Start ? end : out.u64Start + kSector;
    }
}

void CPosSetDlg::RangeToSteps(const ScanRange& range, uint64_t size, int& startStep, int& endStep)
{
    startStep = 0;
    endStep = kSteps;
    if (size == 0 || range.u64DeviceSize != size)
        return;
    auto step = [size](uint64_t at) {
        // at * 100 / size, rounded to the nearest step, without overflow.
        const double s = (double)at * kSteps / (double)size;
        return (int)(s + 0.5);
    };
    startStep = Clamp(step(range.u64Start), 0, kSteps - 1);
    endStep = range.u64End == 0 ? kSteps : Clamp(step(range.u64End), startStep + 1, kSteps);
}

int CPosSetDlg::GetStartStep() const
{
    return m_pSlider1 ? m_pSlider1->GetValue() : 0;
}

int CPosSetDlg::GetEndStep() const
{
    return m_pSlider2 ? m_nBoundary + m_pSlider2->GetValue() : kSteps;
}

void CPosSetDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType == DUI_MSGTYPE_VALUECHANGED) {
        PlaceLabels();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose") {
        Close(IDCANCEL);
    } else if (name == L"btnDefault") {
        SetSteps(0, kSteps);
    } else if (name == L"btnOk") {
        if (m_pCallerRange && m_pSlider1 && m_pSlider2)
            StepsToRange(m_u64Size, GetStartStep(), GetEndStep(), *m_pCallerRange);
        Close(IDOK);
    }
}

void CPosSetDlg::OnWindowInit()
{
    ApplyDialogFrameImage();
    m_pSlider1 = static_cast<DuiLib::CSliderUI*>(FindControl(L"slider1") ? FindControl(L"slider1")->GetInterface(DUI_CTR_SLIDER) : NULL);
    m_pSlider2 = static_cast<DuiLib::CSliderUI*>(FindControl(L"slider2") ? FindControl(L"slider2")->GetInterface(DUI_CTR_SLIDER) : NULL);
    m_pBeginPos = FindControl(L"beginPos");
    m_pEndPos = FindControl(L"endPos");
    if (!m_pSlider1 || !m_pSlider2 || !m_pBeginPos || !m_pEndPos) {
        m_pSlider1 = m_pSlider2 = NULL;
        Close(IDCANCEL);
        return;
    }
    // Listeners watch the sliders' events and leave their own handling
    // (value, drawing, notifications) to them.
    m_pSlider1->OnEvent += DuiLib::MakeDelegate(this, &CPosSetDlg::OnSlider1Event);
    m_pSlider2->OnEvent += DuiLib::MakeDelegate(this, &CPosSetDlg::OnSlider2Event);
    const SIZE xy = m_pSlider1->GetFixedXY();
    m_rcTrack.left = xy.cx;
    m_rcTrack.top = xy.cy;
    m_rcTrack.bottom = xy.cy + (m_pSlider1->GetFixedHeight() ? m_pSlider1->GetFixedHeight() : 14);
    SetControlText(L"sizeMin", SizeText(0).c_str());
    SetControlText(L"sizeMax", SizeText(m_u64Size).c_str());
    int startStep = 0, endStep = kSteps;
    RangeToSteps(m_Range, m_u64Size, startStep, endStep);
    SetSteps(startStep, endStep);
}

void CPosSetDlg::SetSteps(int startStep, int endStep)
{
    if (!m_pSlider1 || !m_pSlider2)
        return;
    startStep = Clamp(startStep, 0, kSteps - 1);
    endStep = Clamp(endStep, startStep + 1, kSteps);
    // The boundary lies between the two thumbs, as near the middle as they
    // allow; both sliders keep at least one step.
    m_nBoundary = Clamp(kDefaultBoundary, startStep, endStep);
    m_nBoundary = Clamp(m_nBoundary, 1, kSteps - 1);
    m_pSlider1->SetMinValue(0);
    m_pSlider1->SetMaxValue(m_nBoundary);
    m_pSlider1->SetValue(Clamp(startStep, 0, m_nBoundary));
    m_pSlider2->SetMinValue(0);
    m_pSlider2->SetMaxValue(kSteps - m_nBoundary);
    m_pSlider2->SetValue(Clamp(endStep - m_nBoundary, 0, kSteps - m_nBoundary));
    PlaceSliders();
    PlaceLabels();
}

void CPosSetDlg::PlaceSliders()
{
    // One step is kStepPixels wide on both sliders; each also holds its thumb.
    const int t = kThumbPixels;
    const int l1 = m_rcTrack.left;
    const int r1 = l1 + m_nBoundary * kStepPixels + t;
    const int r2 = l1 + kSteps * kStepPixels + 2 * t;
    m_pSlider1->SetAttribute(L"pos", PosText(l1, m_rcTrack.top, r1, m_rcTrack.bottom).c_str());
    m_pSlider2->SetAttribute(L"pos", PosText(r1, m_rcTrack.top, r2, m_rcTrack.bottom).c_str());
}

void CPosSetDlg::PlaceLabels()
{
    if (!m_pSlider1 || !m_pSlider2)
        return;
    ScanRange shown;
    StepsToRange(m_u64Size, GetStartStep(), GetEndStep(), shown);
    m_pBeginPos->SetText(SizeText(shown.u64Start).c_str());
    m_pEndPos->SetText(SizeText(shown.u64End ? shown.u64End : m_u64Size).c_str());
    // Each label keeps its width, top and bottom; "beginPos" starts 40
    // pixels left of the first thumb, "endPos" at the second. Positions are
    // worked out from the values, so they hold before the first paint.
    auto placeAt = [](CControlUI* label, int left) {
        const SIZE xy = label->GetFixedXY();
        const int w = label->GetFixedWidth();
        const int h = label->GetFixedHeight();
        label->SetAttribute(L"pos", PosText(left, xy.cy, left + w, xy.cy + h).c_str());
    };
    const int t = kThumbPixels;
    const int thumb1 = m_rcTrack.left + GetStartStep() * kStepPixels;
    const int thumb2 = m_rcTrack.left + m_nBoundary * kStepPixels + t + m_pSlider2->GetValue() * kStepPixels;
    placeAt(m_pBeginPos, thumb1 - 40);
    placeAt(m_pEndPos, thumb2);
}

bool CPosSetDlg::OnSlider1Event(void* param)
{
    const DuiLib::TEventUI* event = (const DuiLib::TEventUI*)param;
    // A drag (the left button held on this slider) against its end.
    if (!event || event->Type != DuiLib::UIEVENT_MOUSEMOVE || !(event->wParam & MK_LBUTTON))
        return true;
    if (m_pSlider1->GetValue() < m_pSlider1->GetMaxValue() || m_pSlider2->GetValue() <= 0 ||
        m_nBoundary >= kSteps - 1)
        return true;
    // The boundary moves one step right: the end stays where it is.
    ++m_nBoundary;
    m_pSlider1->SetMaxValue(m_nBoundary);
    m_pSlider2->SetValue(m_pSlider2->GetValue() - 1);
    m_pSlider2->SetMaxValue(kSteps - m_nBoundary);
    PlaceSliders();
    PlaceLabels();
    return true;
}

bool CPosSetDlg::OnSlider2Event(void* param)
{
    const DuiLib::TEventUI* event = (const DuiLib::TEventUI*)param;
    if (!event || event->Type != DuiLib::UIEVENT_MOUSEMOVE || !(event->wParam & MK_LBUTTON))
        return true;
    if (m_pSlider2->GetValue() > 0 || m_pSlider1->GetValue() >= m_pSlider1->GetMaxValue() || m_nBoundary <= 1)
        return true;
    // The boundary moves one step left: the start stays where it is.
    --m_nBoundary;
    m_pSlider1->SetMaxValue(m_nBoundary);
    m_pSlider2->SetMaxValue(kSteps - m_nBoundary);
    PlaceSliders();
    PlaceLabels();
    return true;
}

void ShowScanRangeDialog(HWND owner, unsigned long long deviceSize, ScanRange* range)
{
    CSkinDialog::RunSelfDeleting(new CPosSetDlg((DWORD)deviceSize, (DWORD)(deviceSize >> 32), range), owner);
}
