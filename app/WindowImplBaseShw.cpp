#include "app/WindowImplBaseShw.h"

#include "core/Settings.h"

std::wstring GetSkinFolderPath()
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring folder = (n > 0 && n < MAX_PATH) ? std::wstring(temp, n) : std::wstring();
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder + L"OvoDelvaro6\\";
}

std::wstring GetSkinXmlName(const wchar_t* name)
{
    return std::wstring(name ? name : L"") + L".xml";
}

WindowImplBaseShw::WindowImplBaseShw() {}

WindowImplBaseShw::~WindowImplBaseShw() {}

CDuiString WindowImplBaseShw::GetSkinFolder()
{
    return GetSkinFolderPath().c_str();
}

void WindowImplBaseShw::InitWindow()
{
    m_Shadow.Create(m_hWnd);
    m_Shadow.SetSize(4);
    m_Shadow.SetPosition(0, 0);
    m_Shadow.SetColor(0x7E7E7E);
    m_Shadow.SetDarkness(75);
    m_Shadow.SetSharpness(5);
}

HRGN CreateFrameRegion(int w, int h)
{
    POINT pts[8] = {{0, 0}, {4, 0}, {w, 0}, {w, 4}, {w, h - 1}, {w - 5, h}, {0, h}, {0, h - 5}};
    return CreatePolygonRgn(pts, 8, WINDING);
}

LRESULT WindowImplBaseShw::OnSize(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (!IsIconic(m_hWnd)) {
        RECT rc;
        GetWindowRect(m_hWnd, &rc);
        HRGN rgn = CreateFrameRegion(rc.right - rc.left, rc.bottom - rc.top);
        if (rgn) {
            SetWindowRgn(m_hWnd, rgn, TRUE);
            DeleteObject(rgn);
        }
    }
    bHandled = FALSE;
    return 0;
}

CControlUI* WindowImplBaseShw::FindControl(const wchar_t* name)
{
    return name ? m_PaintManager.FindControl(name) : NULL;
}

void WindowImplBaseShw::ShowSubControl(CControlUI* parent, const wchar_t* name, bool visible)
{
    if (!parent || !name)
        return;
    CControlUI* c = m_PaintManager.FindSubControlByName(parent, name);
    if (c)
        c->SetVisible(visible);
}

bool WindowImplBaseShw::IsControlVisible(const wchar_t* name)
{
    CControlUI* c = FindControl(name);
    return c && c->IsVisible();
}

void WindowImplBaseShw::SetControlBkColor(const wchar_t* name, DWORD colour)
{
    if (CControlUI* c = FindControl(name))
        c->SetBkColor(colour);
}

void WindowImplBaseShw::SetControlFixedHeight(const wchar_t* name, int height)
{
    if (CControlUI* c = FindControl(name))
        c->SetFixedHeight(height);
}

void WindowImplBaseShw::ShowControl(const wchar_t* name, bool visible)
{
    if (CControlUI* c = FindControl(name))
        c->SetVisible(visible);
}

void WindowImplBaseShw::EnableControl(const wchar_t* name, bool enable)
{
    if (CControlUI* c = FindControl(name))
        c->SetEnabled(enable);
}

void WindowImplBaseShw::SetControlText(const wchar_t* name, const wchar_t* text)
{
    if (CControlUI* c = FindControl(name))
        c->SetText(text ? text : L"");
}

void WindowImplBaseShw::SetProgressValue(const wchar_t* name, int value)
{
    CControlUI* c = FindControl(name);
    DuiLib::CProgressUI* bar = c ? static_cast<DuiLib::CProgressUI*>(c->GetInterface(DUI_CTR_PROGRESS)) : NULL;
    if (!bar)
        return;
    bar->SetValue(value < bar->GetMinValue() ? bar->GetMinValue() : value > bar->GetMaxValue() ? bar->GetMaxValue() : value);
}

CSkinDialog::CSkinDialog(const wchar_t* layoutName) : m_strLayout(layoutName ? layoutName : L""), m_bSelfDeleting(false)
{
}

void CSkinDialog::OnFinalMessage(HWND hWnd)
{
    WindowImplBaseShw::OnFinalMessage(hWnd);
    if (m_bSelfDeleting)
        delete this;
}

void CSkinDialog::RunSelfDeleting(CSkinDialog* dialog, HWND owner)
{
    if (!dialog)
        return;
    // Deleted here, after the modal loop has returned: the loop still reads
    // the object after its window has gone.
    if (dialog->CreateOver(owner)) {
        dialog->CenterWindow();
        dialog->ShowModal();
    }
    delete dialog;
}

CDuiString CSkinDialog::GetSkinFile()
{
    return GetSkinXmlName(m_strLayout.c_str()).c_str();
}

LRESULT CSkinDialog::OnClose(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    DestroyWindow(m_hWnd);
    bHandled = TRUE;
    return 0;
}

bool CSkinDialog::CreateOver(HWND owner)
{
    return Create(owner, L"", kDialogStyle, 0) != NULL;
}

UINT CSkinDialog::RunModal(HWND owner)
{
    if (!m_hWnd && !CreateOver(owner))
        return 0;
    CenterWindow();
    return ShowModal();
}

void CSkinDialog::ApplyDialogFrameImage()
{
    if (g_OemInfo.m_strDlgBgImage.empty())
        return;
    if (CControlUI* frame = FindControl(L"DlgFrame"))
        frame->SetBkImage(g_OemInfo.m_strDlgBgImage.c_str());
}
