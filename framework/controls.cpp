// Controls: fonts, the control base classes and the form.
#include "controls.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

namespace fw {

namespace {

const wchar_t kPropControl[] = L"fw.Control";
const wchar_t kPropDefProc[] = L"fw.DefProc";
const wchar_t kClassWindow[] = L"FwWindow";
const wchar_t kClassForm[] = L"FwForm";
const wchar_t kClassParking[] = L"FwParking";

const DWORD kFormStyle = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
const DWORD kFormExStyle = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

std::atomic<int> gNextChildId{100};  // clear of IDOK and IDCANCEL

bool IsCtlColor(UINT msg) { return msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC; }

// The child window a notification came from.
HWND NotifySource(const TMessage& m) {
    if (m.Msg == WM_COMMAND || IsCtlColor(m.Msg)) return reinterpret_cast<HWND>(m.LParam);
    if (m.Msg == WM_NOTIFY && m.LParam) return reinterpret_cast<const NMHDR*>(m.LParam)->hwndFrom;
    return nullptr;
}

// Hands a child's notification to the child's object; false when the
// sender is not one of ours.
bool ReflectToSender(TMessage& m, const TWinControl* self) {
    TWinControl* child = TWinControl::FindControl(NotifySource(m));
    if (!child || child == self) return false;
    TMessage cm{m.Msg + CN_BASE, m.WParam, m.LParam, 0};
    child->WndProc(cm);
    m.Result = cm.Result;
    return true;
}

// Keeps the windows of controls that have no parent yet, so they can be
// created (and used) before they are placed.
LRESULT CALLBACK ParkingWndProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND || msg == WM_NOTIFY || IsCtlColor(msg)) {
        TMessage m{msg, wp, lp, 0};
        try {
            if (ReflectToSender(m, nullptr)) return m.Result;
        } catch (...) {
            if (Application) Application->HandleException(nullptr);
            return 0;
        }
    }
    return DefWindowProcW(h, msg, wp, lp);
}

void RegisterClasses() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
        InitCommonControlsEx(&icc);
        HINSTANCE inst = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &DefWindowProcW;
        wc.hInstance = inst;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.style = CS_DBLCLKS;
        wc.lpszClassName = kClassWindow;
        RegisterClassExW(&wc);

        // The program's icon when it carries one.
        wc.hIcon = LoadIconW(inst, L"MAINICON");
        if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        wc.hIconSm = static_cast<HICON>(
            LoadImageW(inst, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        wc.lpszClassName = kClassForm;
        RegisterClassExW(&wc);

        WNDCLASSEXW pc{};
        pc.cbSize = sizeof(pc);
        pc.lpfnWndProc = &ParkingWndProc;
        pc.hInstance = inst;
        pc.lpszClassName = kClassParking;
        RegisterClassExW(&pc);
        return true;
    }();
    (void)done;
}

HWND ParkingWindow() {
    static HWND wnd = nullptr;
    if (!wnd || !IsWindow(wnd)) {
        RegisterClasses();
        wnd = CreateWindowExW(WS_EX_TOOLWINDOW, kClassParking, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
        if (!wnd) throw EOSError(L"Cannot create the window for controls without a parent", GetLastError());
    }
    return wnd;
}

// One tooltip per thread shows the hints of that thread's windows.
HWND HintWindow(bool create) {
    thread_local HWND tip = nullptr;
    if (tip && !IsWindow(tip)) tip = nullptr;
    if (!tip && create) {
        RegisterClasses();
        tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    }
    return tip;
}

TShiftState KeyShift() {
    TShiftState s;
    if (GetKeyState(VK_SHIFT) < 0) s.Include(ssShift);
    if (GetKeyState(VK_MENU) < 0) s.Include(ssAlt);
    if (GetKeyState(VK_CONTROL) < 0) s.Include(ssCtrl);
    return s;
}

}  // namespace

COLORREF ColorToRGB(TColor c) { return c & clSystemColor ? GetSysColor(c & 0xFF) : static_cast<COLORREF>(c); }

// ---------------------------------------------------------------------------
// TFont

TFont::~TFont() {
    if (handle_) DeleteObject(handle_);
}

void TFont::SetName(const std::wstring& v) {
    if (v == name_) return;
    name_ = v;
    Changed();
}

void TFont::SetHeight(int v) {
    if (v == height_) return;
    height_ = v;
    Changed();
}

void TFont::SetPitch(TFontPitch v) {
    if (v == pitch_) return;
    pitch_ = v;
    Changed();
}

void TFont::Assign(const TFont& src) {
    if (src.name_ == name_ && src.height_ == height_ && src.pitch_ == pitch_) return;
    name_ = src.name_;
    height_ = src.height_;
    pitch_ = src.pitch_;
    Changed();
}

HFONT TFont::Handle() const {
    if (!handle_) {
        LOGFONTW lf{};
        lf.lfHeight = -height_;  // negative: character height, not cell height
        lf.lfWeight = FW_NORMAL;
        lf.lfCharSet = DEFAULT_CHARSET;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = DEFAULT_QUALITY;
        if (pitch_ == fpFixed) lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
        if (pitch_ == fpVariable) lf.lfPitchAndFamily = VARIABLE_PITCH;
        wcsncpy(lf.lfFaceName, name_.c_str(), LF_FACESIZE - 1);
        handle_ = CreateFontIndirectW(&lf);
    }
    return handle_;
}

void TFont::Changed() {
    HFONT old = handle_;
    handle_ = nullptr;
    if (OnChange) OnChange();
    if (old) DeleteObject(old);
}

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(TComponent* AOwner) : TComponent(AOwner), font_(std::make_unique<TFont>()) {
    font_->OnChange = [this] { OnFontChange(); };
}

TControl::~TControl() {
    Destroying();
    if (parent_) {
        Invalidate();
        parent_->RemoveControl(this);
        parent_ = nullptr;
    }
    font_->OnChange = nullptr;
}

void TControl::SetParent(TWinControl* AParent) {
    if (AParent == parent_) return;
    if (parent_) {
        Invalidate();
        parent_->RemoveControl(this);
    }
    parent_ = AParent;
    if (parent_) {
        parent_->InsertControl(this);
        if (parentFont_) SetParentFont(true);
        Invalidate();
    }
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    Invalidate();
    left_ = ALeft;
    top_ = ATop;
    width_ = AWidth < 0 ? 0 : AWidth;
    height_ = AHeight < 0 ? 0 : AHeight;
    Invalidate();
}

void TControl::SetVisible(bool v) {
    if (v == visible_) return;
    visible_ = v;
    if (parent_ && parent_->HandleAllocated()) {
        RECT r = BoundsRect();
        InvalidateRect(parent_->handle_, &r, TRUE);
    }
}

void TControl::SetEnabled(bool v) {
    if (v == enabled_) return;
    enabled_ = v;
    Invalidate();
}

void TControl::SetParentFont(bool v) {
    parentFont_ = v;
    if (v && parent_) {
        followingParent_ = true;
        font_->Assign(parent_->Font());
        followingParent_ = false;
    }
}

void TControl::OnFontChange() {
    if (!followingParent_) parentFont_ = false;
    FontChanged();
    if (!windowed_) {
        Invalidate();
        return;
    }
    for (TControl* c : static_cast<TWinControl*>(this)->controls_)
        if (c->parentFont_) c->SetParentFont(true);
}

void TControl::SetText(const std::wstring& v) {
    if (v == text_) return;
    text_ = v;
    TextChanged();
}

void TControl::BringToFront() {
    if (!parent_) return;
    auto& list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.push_back(this);
    if (windowed_) {
        if (HWND h = static_cast<TWinControl*>(this)->handle_)
            SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    Invalidate();
}

void TControl::SendToBack() {
    if (!parent_) return;
    auto& list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.insert(list.begin(), this);
    if (windowed_) {
        if (HWND h = static_cast<TWinControl*>(this)->handle_)
            SetWindowPos(h, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    Invalidate();
}

void TControl::Invalidate() {
    if (!parent_ || !parent_->handle_) return;
    RECT r = BoundsRect();
    InvalidateRect(parent_->handle_, &r, TRUE);
}

void TControl::Repaint() {
    Invalidate();
    HWND h = windowed_ ? static_cast<TWinControl*>(this)->handle_ : (parent_ ? parent_->handle_ : nullptr);
    if (h) UpdateWindow(h);
}

void TControl::Click() { Notify(OnClick); }

std::vector<TPropInfo> TControl::PublishableProperties() {
    using C = TControl;
    return {OrdPropInfo<C, &C::Enabled, &C::SetEnabled>(L"Enabled"),
            {.Name = L"Font",
             .GetObj = [](TObject* o) -> TObject* { return &static_cast<C*>(o)->Font(); },
             .SetObj =
                 [](TObject* o, TObject* v) {
                     auto* f = dynamic_cast<TFont*>(v);
                     if (f) static_cast<C*>(o)->SetFont(*f);
                     return f != nullptr;
                 }},
            OrdPropInfo<C, &C::ParentFont, &C::SetParentFont>(L"ParentFont"),
            StrPropInfo<C, &C::Text, &C::SetText>(L"Text"),
            OrdPropInfo<C, &C::Visible, &C::SetVisible>(L"Visible"),
            EventPropInfo<C, &C::OnClick>(L"OnClick")};
}

// ---------------------------------------------------------------------------
// TWinControl

LRESULT CALLBACK ControlWndProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* c = static_cast<TWinControl*>(GetPropW(h, kPropControl));
    if (!c || c->handle_ != h) {
        // The object has let go of the window; the class carries on alone.
        auto def = reinterpret_cast<WNDPROC>(GetPropW(h, kPropDefProc));
        LRESULT r = def ? CallWindowProcW(def, h, msg, wp, lp) : DefWindowProcW(h, msg, wp, lp);
        if (msg == WM_NCDESTROY) {
            RemovePropW(h, kPropDefProc);
            RemovePropW(h, kPropControl);
        }
        return r;
    }
    TMessage m{msg, wp, lp, 0};
    try {
        c->WndProc(m);
    } catch (...) {
        if (Application) Application->HandleException(nullptr);
    }
    if (msg == WM_NCDESTROY) c->WindowDestroyed();
    return m.Result;
}

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) { windowed_ = true; }

TWinControl::~TWinControl() {
    Destroying();
    // Children go first, each taking its window and leaving our list.
    while (!controls_.empty()) {
        TControl* c = controls_.back();
        delete c;
        if (!controls_.empty() && controls_.back() == c) controls_.pop_back();
    }
    DestroyHandle();
    if (brush_) DeleteObject(brush_);
    if (parent_) {
        parent_->RemoveControl(this);
        parent_ = nullptr;
    }
}

std::vector<TPropInfo> TWinControl::PublishableProperties() {
    using C = TWinControl;
    auto props = TControl::PublishableProperties();
    props.insert(props.end(),
                 {OrdPropInfo<C, &C::Color, &C::SetColor>(L"Color"),
                  OrdPropInfo<C, &C::ParentColor, &C::SetParentColor>(L"ParentColor"),
                  OrdPropInfo<C, &C::ShowHint, &C::SetShowHint>(L"ShowHint"),
                  OrdPropInfo<C, &C::ParentShowHint, &C::SetParentShowHint>(L"ParentShowHint"),
                  OrdPropInfo<C, &C::TabOrder, &C::SetTabOrder>(L"TabOrder"),
                  OrdPropInfo<C, &C::TabStop, &C::SetTabStop>(L"TabStop"),
                  EventPropInfo<C, &C::OnDblClick>(L"OnDblClick"), EventPropInfo<C, &C::OnEnter>(L"OnEnter"),
                  EventPropInfo<C, &C::OnExit>(L"OnExit"), EventPropInfo<C, &C::OnKeyDown>(L"OnKeyDown"),
                  EventPropInfo<C, &C::OnKeyPress>(L"OnKeyPress"), EventPropInfo<C, &C::OnKeyUp>(L"OnKeyUp")});
    return props;
}

TWinControl* TWinControl::FindControl(HWND wnd) {
    if (!wnd) return nullptr;
    auto* c = static_cast<TWinControl*>(GetPropW(wnd, kPropControl));
    return (c && c->handle_ == wnd) ? c : nullptr;
}

HWND TWinControl::Handle() {
    if (!handle_) CreateHandle();
    return handle_;
}

void TWinControl::CreateHandle() {
    if (handle_ || creating_) return;
    if (parent_ && !parent_->handle_) {
        parent_->CreateHandle();  // creates ours among its children
        if (handle_) return;
    }
    creating_ = true;
    try {
        CreateWnd();
    } catch (...) {
        creating_ = false;
        throw;
    }
    creating_ = false;
    std::vector<TWinControl*> kids = WinChildren();
    std::stable_sort(kids.begin(), kids.end(),
                     [](const TWinControl* a, const TWinControl* b) { return a->tabOrder_ < b->tabOrder_; });
    for (TWinControl* k : kids) {
        if (!k->handle_)
            k->CreateHandle();
        else
            ::SetParent(k->handle_, handle_);
    }
    ArrangeTabOrder();
    if (parent_) parent_->ArrangeTabOrder();
}

void TWinControl::CreateParams(TCreateParams& p) {
    p.WinClassName = kClassWindow;
    p.Style = WS_CHILD | WS_CLIPSIBLINGS;
    if (visible_) p.Style |= WS_VISIBLE;
    if (!enabled_) p.Style |= WS_DISABLED;
    if (tabStop_) p.Style |= WS_TABSTOP;
    p.X = left_;
    p.Y = top_;
    p.Width = width_;
    p.Height = WindowHeight();
    p.WndParent = parent_ ? parent_->handle_ : ParkingWindow();
}

void TWinControl::CreateWnd() {
    RegisterClasses();
    TCreateParams p;
    CreateParams(p);
    ownClass_ = p.WinClassName == kClassWindow || p.WinClassName == kClassForm;
    if (ownClass_ && p.WinClassName == kClassWindow) p.Style |= WS_CLIPCHILDREN;
    HMENU id = (p.Style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(gNextChildId++)) : nullptr;
    HWND h = CreateWindowExW(p.ExStyle, p.WinClassName.c_str(), text_.c_str(), p.Style, p.X, p.Y, p.Width, p.Height,
                             p.WndParent, id, GetModuleHandleW(nullptr), nullptr);
    if (!h) throw EOSError(L"Cannot create the window of a " + ClassName(), GetLastError());
    SetPropW(h, kPropControl, this);
    defWndProc_ =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlWndProc)));
    SetPropW(h, kPropDefProc, reinterpret_cast<HANDLE>(defWndProc_));
    handle_ = h;
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), FALSE);
    InitializeWnd();
    if (HintWanted()) UpdateHint(true);
}

void TWinControl::WindowDestroyed() {
    if (!handle_) return;
    RemovePropW(handle_, kPropControl);
    RemovePropW(handle_, kPropDefProc);
    handle_ = nullptr;
    defWndProc_ = nullptr;
}

void TWinControl::DestroyHandle() {
    HWND h = handle_;
    if (!h) return;
    DestroyWindow(h);
    if (handle_ == h) {
        // Not destroyed (another thread's window?): at least let go of it.
        RemovePropW(h, kPropControl);
        handle_ = nullptr;
        defWndProc_ = nullptr;
    }
}

void TWinControl::RecreateWnd() {
    if (!handle_) return;
    DestroyHandle();
    CreateHandle();
}

void TWinControl::InsertControl(TControl* c) {
    controls_.push_back(c);
    if (c->windowed_) {
        auto* w = static_cast<TWinControl*>(c);
        if (w->tabOrder_ < 0) {
            int n = 0;
            for (TControl* o : controls_)
                if (o->windowed_ && o != c) ++n;
            w->tabOrder_ = n;
        }
    }
}

std::vector<TWinControl*> TWinControl::WinChildren() const {
    std::vector<TWinControl*> r;
    for (TControl* c : controls_)
        if (c->windowed_) r.push_back(static_cast<TWinControl*>(c));
    return r;
}

void TWinControl::RemoveControl(TControl* c) {
    controls_.erase(std::remove(controls_.begin(), controls_.end(), c), controls_.end());
}

TControl* TWinControl::Controls(int i) const {
    if (i < 0 || i >= ControlCount()) throw EListError(Format(L"List index out of bounds (%d)", {i}));
    return controls_[i];
}

void TWinControl::SetParent(TWinControl* AParent) {
    if (AParent == parent_) return;
    for (TWinControl* p = AParent; p; p = p->parent_)
        if (p == this) throw Exception(L"A control cannot be placed inside itself");
    if (parent_) parent_->RemoveControl(this);
    parent_ = AParent;
    if (parent_) {
        parent_->InsertControl(this);
        if (ParentFont()) SetParentFont(true);
        if (parentColor_) SetParentColor(true);
        if (parentShowHint_) SetParentShowHint(true);
    }
    if (handle_) {
        if (parent_ && parent_->handle_) {
            ::SetParent(handle_, parent_->handle_);
            parent_->ArrangeTabOrder();
        } else {
            ::SetParent(handle_, ParkingWindow());
        }
    } else if (parent_ && parent_->handle_) {
        CreateHandle();
    }
}

void TWinControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    left_ = ALeft;
    top_ = ATop;
    width_ = AWidth < 0 ? 0 : AWidth;
    height_ = AHeight < 0 ? 0 : AHeight;
    if (handle_) SetWindowPos(handle_, nullptr, left_, top_, width_, WindowHeight(), SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWinControl::SetVisible(bool v) {
    visible_ = v;
    if (handle_) ShowWindow(handle_, v ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::SetEnabled(bool v) {
    enabled_ = v;
    if (handle_) EnableWindow(handle_, v ? TRUE : FALSE);
}

void TWinControl::Invalidate() {
    if (handle_) InvalidateRect(handle_, nullptr, TRUE);
}

void TWinControl::SetTabOrder(int v) {
    tabOrder_ = v < 0 ? 0 : v;
    if (parent_) parent_->ArrangeTabOrder();
}

void TWinControl::SetTabStop(bool v) {
    tabStop_ = v;
    if (!handle_) return;
    LONG_PTR st = GetWindowLongPtrW(handle_, GWL_STYLE);
    SetWindowLongPtrW(handle_, GWL_STYLE, v ? (st | WS_TABSTOP) : (st & ~static_cast<LONG_PTR>(WS_TABSTOP)));
}

void TWinControl::SetColor(TColor v) {
    parentColor_ = false;
    ApplyColor(v);
}

void TWinControl::SetParentColor(bool v) {
    parentColor_ = v;
    if (v && parent_) ApplyColor(parent_->color_);
}

void TWinControl::ApplyColor(TColor v) {
    color_ = v;
    paintColor_ = true;
    if (brush_) DeleteObject(brush_);
    brush_ = nullptr;
    Invalidate();
    for (TWinControl* w : WinChildren())
        if (w->parentColor_) w->ApplyColor(v);
}

HBRUSH TWinControl::Brush() {
    if (!brush_) brush_ = CreateSolidBrush(ColorToRGB(color_));
    return brush_;
}

void TWinControl::SetHint(const std::wstring& v) {
    hint_ = v;
    UpdateHint(HintWanted());
}

void TWinControl::SetShowHint(bool v) {
    parentShowHint_ = false;
    ApplyShowHint(v);
}

void TWinControl::SetParentShowHint(bool v) {
    parentShowHint_ = v;
    if (v && parent_) ApplyShowHint(parent_->showHint_);
}

void TWinControl::ApplyShowHint(bool v) {
    showHint_ = v;
    UpdateHint(HintWanted());
    for (TWinControl* w : WinChildren())
        if (w->parentShowHint_) w->ApplyShowHint(v);
}

// The window's tool in the tooltip: added to show the hint, else removed.
void TWinControl::UpdateHint(bool show) {
    HWND tip = handle_ ? HintWindow(show) : nullptr;
    if (!tip) return;
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof(ti);
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = handle_;
    ti.uId = reinterpret_cast<UINT_PTR>(handle_);
    ti.lpszText = hint_.data();
    SendMessageW(tip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    if (show) SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

// Keyboard navigation follows the windows' stacking order: put the children
// in tab order, first on top.
void TWinControl::ArrangeTabOrder() {
    if (!handle_) return;
    std::vector<TWinControl*> kids;
    for (TControl* c : controls_)
        if (c->windowed_ && static_cast<TWinControl*>(c)->handle_) kids.push_back(static_cast<TWinControl*>(c));
    std::stable_sort(kids.begin(), kids.end(),
                     [](const TWinControl* a, const TWinControl* b) { return a->tabOrder_ < b->tabOrder_; });
    HWND after = HWND_TOP;
    for (TWinControl* k : kids) {
        SetWindowPos(k->handle_, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
        after = k->handle_;
    }
}

bool TWinControl::Focused() const { return handle_ && GetFocus() == handle_; }

void TWinControl::SetFocus() { ::SetFocus(Handle()); }

bool TWinControl::InputAllowed() const {
    if (!handle_ || !IsWindowEnabled(handle_)) return false;
    HWND root = GetAncestor(handle_, GA_ROOT);
    return !root || IsWindowEnabled(root);
}

LRESULT TWinControl::Perform(UINT Msg, WPARAM WParam, LPARAM LParam) {
    TMessage m{Msg, WParam, LParam, 0};
    WndProc(m);
    return m.Result;
}

void TWinControl::FontChanged() {
    if (handle_) SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), TRUE);
}

void TWinControl::TextChanged() {
    if (handle_) SetWindowTextW(handle_, text_.c_str());
}

bool TWinControl::Reflect(TMessage& m) { return ReflectToSender(m, this); }

// A control-colour question from one of our controls goes to it; what is
// left (its own, reflected back, or a part's, like a combo box's list) is
// answered with Color once the control has one. So is erasing our own windows.
bool TWinControl::ColorMessage(TMessage& m) {
    bool question = IsCtlColor(m.Msg) || IsCtlColor(m.Msg - CN_BASE);
    if (IsCtlColor(m.Msg) && Reflect(m)) return true;
    if (!paintColor_ || !(question || (m.Msg == WM_ERASEBKGND && ownClass_))) return false;
    auto dc = reinterpret_cast<HDC>(m.WParam);
    if (question) {
        SetBkColor(dc, ColorToRGB(color_));
        m.Result = reinterpret_cast<LRESULT>(Brush());
        return true;
    }
    RECT r;
    GetClientRect(handle_, &r);
    FillRect(dc, &r, Brush());
    m.Result = 1;
    return true;
}

// Focus, double clicks and keys raise the events; false lets the window
// class handle the message as well.
bool TWinControl::InputMessage(TMessage& m) {
    switch (m.Msg) {
        case WM_SETFOCUS: Notify(OnEnter); return false;
        case WM_KILLFOCUS: Notify(OnExit); return false;
        case WM_LBUTTONDBLCLK: Notify(OnDblClick); return false;
    }
    return KeyMessage(m);
}

bool TWinControl::KeyMessage(TMessage& m) {
    if (m.Msg == WM_CHAR) {
        if (!OnKeyPress) return false;
        auto key = static_cast<wchar_t>(m.WParam);
        OnKeyPress(this, key);
        m.WParam = key;
        return key == 0;
    }
    bool down = m.Msg == WM_KEYDOWN || m.Msg == WM_SYSKEYDOWN;
    if (!down && m.Msg != WM_KEYUP && m.Msg != WM_SYSKEYUP) return false;
    const TKeyEvent& e = down ? OnKeyDown : OnKeyUp;
    if (!e) return false;
    auto key = static_cast<WORD>(m.WParam);
    e(this, key, KeyShift());
    m.WParam = key;
    return key == 0;
}

void TWinControl::PaintControls(HDC dc, const RECT& clip) {
    for (TControl* c : controls_) {
        if (c->windowed_ || !c->visible_) continue;
        RECT b = c->BoundsRect(), inter;
        if (!IntersectRect(&inter, &b, &clip)) continue;
        int saved = SaveDC(dc);
        IntersectClipRect(dc, b.left, b.top, b.right, b.bottom);
        OffsetViewportOrgEx(dc, b.left, b.top, nullptr);
        c->Paint(dc);
        RestoreDC(dc, saved);
    }
}

void TWinControl::WndProc(TMessage& m) {
    if (ColorMessage(m) || InputMessage(m)) return;
    switch (m.Msg) {
        case WM_COMMAND:
        case WM_NOTIFY:
            if (Reflect(m)) return;
            break;
        case WM_SETCURSOR:
            // The hourglass of a wait shows over every control.
            if (Screen && Screen->Cursor() != crDefault) {
                if (HCURSOR cur = Screen->CursorHandle()) {
                    ::SetCursor(cur);
                    m.Result = TRUE;
                    return;
                }
            }
            break;
        case WM_PAINT:
            if (ownClass_ && handle_) {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(handle_, &ps);
                PaintControls(dc, ps.rcPaint);
                EndPaint(handle_, &ps);
                return;
            }
            break;
        case WM_DESTROY:
            SaveWndState();
            UpdateHint(false);
            break;
        default:
            if (m.Msg >= CN_BASE && m.Msg < CN_BASE + 0x400) {
                // A notification this control does not handle: the parent
                // window's class has its say.
                HWND parentWnd = handle_ ? GetParent(handle_) : nullptr;
                if (TWinControl* p = FindControl(parentWnd)) {
                    TMessage pm{m.Msg - CN_BASE, m.WParam, m.LParam, 0};
                    p->DefaultHandler(pm);
                    m.Result = pm.Result;
                } else if (parentWnd) {
                    m.Result = DefWindowProcW(parentWnd, m.Msg - CN_BASE, m.WParam, m.LParam);
                }
                return;
            }
            break;
    }
    DefaultHandler(m);
}

void TWinControl::DefaultHandler(TMessage& m) {
    if (!handle_) {
        m.Result = 0;
        return;
    }
    m.Result = defWndProc_ ? CallWindowProcW(defWndProc_, handle_, m.Msg, m.WParam, m.LParam)
                           : DefWindowProcW(handle_, m.Msg, m.WParam, m.LParam);
}

// ---------------------------------------------------------------------------
// TForm

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner) {
    visible_ = false;
    clientWidth_ = 320;
    clientHeight_ = 240;
    UpdateWindowSize();
}

TForm::~TForm() { Destroying(); }

void TForm::UpdateWindowSize() {
    RECT r{0, 0, clientWidth_, clientHeight_};
    AdjustWindowRectEx(&r, FormStyle(), FALSE, kFormExStyle);
    width_ = r.right - r.left;
    height_ = r.bottom - r.top;
    if (handle_) SetWindowPos(handle_, nullptr, 0, 0, width_, height_, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetClientWidth(int v) {
    clientWidth_ = v < 0 ? 0 : v;
    UpdateWindowSize();
}

void TForm::SetClientHeight(int v) {
    clientHeight_ = v < 0 ? 0 : v;
    UpdateWindowSize();
}

void TForm::CreateParams(TCreateParams& p) {
    p.WinClassName = kClassForm;
    p.Style = FormStyle();
    if (visible_) p.Style |= WS_VISIBLE;
    if (!enabled_) p.Style |= WS_DISABLED;
    p.ExStyle = kFormExStyle;
    p.X = left_;
    p.Y = top_;
    p.Width = width_;
    p.Height = height_;
    p.WndParent = nullptr;
}

DWORD TForm::FormStyle() const { return sizeable_ ? kFormStyle | WS_THICKFRAME | WS_MAXIMIZEBOX : kFormStyle; }

void TForm::Resized(LPARAM ClientSize) {
    clientWidth_ = LOWORD(ClientSize);
    clientHeight_ = HIWORD(ClientSize);
    RECT r;
    if (GetWindowRect(handle_, &r)) {
        width_ = r.right - r.left;
        height_ = r.bottom - r.top;
    }
    Notify(OnResize);
}

void TForm::CreateWnd() {
    UpdateWindowSize();
    if (position_ == poDesktopCenter) {
        left_ = (GetSystemMetrics(SM_CXSCREEN) - width_) / 2;
        top_ = (GetSystemMetrics(SM_CYSCREEN) - height_) / 2;
    }
    TWinControl::CreateWnd();
}

void TForm::SetVisible(bool v) {
    visible_ = v;
    if (!v) {
        if (handle_) ShowWindow(handle_, SW_HIDE);
        return;
    }
    HWND h = Handle();
    if (Application && (!Application->MainWindow() || !IsWindow(Application->MainWindow())))
        Application->SetMainWindow(h);
    ShowWindow(h, SW_SHOWNORMAL);
    // Activation came before the children were visible: focus them now.
    if (GetFocus() == h) FocusFirstControl();
    UpdateWindow(h);
}

void TForm::Show() { SetVisible(true); }

void TForm::SetEnabled(bool v) {
    if (!v && handle_) {
        HWND f = GetFocus();
        if (f && IsChild(handle_, f)) lastFocus_ = f;
    }
    TWinControl::SetEnabled(v);
    if (v && handle_ && GetActiveWindow() == handle_ && (!GetFocus() || GetFocus() == handle_)) FocusFirstControl();
}

void TForm::Close() {
    if (handle_) DestroyWindow(handle_);
    visible_ = false;
}

void TForm::AfterConstruction() {
    if (Loading()) EndLoading();
    if (!OnCreate) return;
    try {
        OnCreate(this);
    } catch (...) {
        if (!Application) throw;
        Application->HandleException(this);
    }
}

void TForm::FocusFirstControl() {
    HWND target = nullptr;
    if (lastFocus_ && IsWindow(lastFocus_) && IsChild(handle_, lastFocus_) && IsWindowEnabled(lastFocus_) &&
        IsWindowVisible(lastFocus_))
        target = lastFocus_;
    if (!target) target = GetNextDlgTabItem(handle_, nullptr, FALSE);
    if (target && target != handle_) ::SetFocus(target);
}

void TForm::WndProc(TMessage& m) {
    switch (m.Msg) {
        case WM_CLOSE:
            // A disabled form is waiting for something: its close box too.
            if (IsWindowEnabled(handle_)) Close();
            m.Result = 0;
            return;
        case WM_SYSCOMMAND:
            if ((m.WParam & 0xFFF0) == SC_CLOSE && !IsWindowEnabled(handle_)) {
                m.Result = 0;
                return;
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(m.WParam) == WA_INACTIVE) {
                HWND f = GetFocus();
                if (f && IsChild(handle_, f)) lastFocus_ = f;
            }
            break;
        case WM_SETFOCUS:
            FocusFirstControl();
            m.Result = 0;
            return;
        case WM_NEXTDLGCTL: {
            HWND target = LOWORD(m.LParam) ? reinterpret_cast<HWND>(m.WParam)
                                           : GetNextDlgTabItem(handle_, GetFocus(), m.WParam != 0);
            if (target) ::SetFocus(target);
            m.Result = 0;
            return;
        }
        case WM_SIZE:
            if (m.WParam != SIZE_MINIMIZED) Resized(m.LParam);
            break;
        case WM_WINDOWPOSCHANGED: {
            auto* wp = reinterpret_cast<const WINDOWPOS*>(m.LParam);
            if (wp && !(wp->flags & SWP_NOMOVE)) {
                left_ = wp->x;
                top_ = wp->y;
            }
            break;
        }
        case WM_DESTROY:
            visible_ = false;
            lastFocus_ = nullptr;
            // Wake the application's loop so it sees its main window gone.
            if (Application && Application->MainWindow() == handle_) PostMessageW(Application->Handle(), WM_NULL, 0, 0);
            break;
    }
    TWinControl::WndProc(m);
}

}  // namespace fw
