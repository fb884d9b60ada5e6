// Standard controls: buttons, check box, label, list box, combo box, edits.
#include "controls.h"

namespace fw {

namespace {

std::wstring WindowText(HWND h) {
    int n = GetWindowTextLengthW(h);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(h, s.data(), n + 1);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// TButton

TButton::TButton(TComponent* AOwner) : TWinControl(AOwner) {
    SetTabStop(true);
    width_ = 75;
    height_ = 25;
}

void TButton::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"BUTTON";
    p.Style |= BS_PUSHBUTTON;
}

void TButton::WndProc(TMessage& m) {
    switch (m.Msg) {
        case BM_CLICK:
            // A click sent from outside counts only where a real one could land.
            if (!InputAllowed()) return;
            break;
        case CN_COMMAND:
            if (HIWORD(m.WParam) == BN_CLICKED) Click();
            return;
    }
    TWinControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TCheckBox

TCheckBox::TCheckBox(TComponent* AOwner) : TWinControl(AOwner) {
    SetTabStop(true);
    width_ = 97;
    height_ = 17;
}

void TCheckBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"BUTTON";
    p.Style |= BS_AUTOCHECKBOX;
}

void TCheckBox::InitializeWnd() { SendMessageW(handle_, BM_SETCHECK, checked_ ? BST_CHECKED : BST_UNCHECKED, 0); }

void TCheckBox::SaveWndState() {}

void TCheckBox::SetChecked(bool v) {
    checked_ = v;
    HWND h = handle_;
    if (!h) return;
    WPARAM state = v ? BST_CHECKED : BST_UNCHECKED;
    if (GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId())
        SendMessageW(h, BM_SETCHECK, state, 0);
    else
        PostMessageW(h, BM_SETCHECK, state, 0);
}

std::vector<TPropInfo> TCheckBox::PublishedProperties() const {
    auto props = TWinControl::PublishedProperties();
    props.push_back(
        TPropInfo{L"Checked",
                  [](const TObject* o) -> std::int64_t { return static_cast<const TCheckBox*>(o)->Checked() ? 1 : 0; },
                  [](TObject* o, std::int64_t v) { static_cast<TCheckBox*>(o)->SetChecked(v != 0); }});
    return props;
}

void TCheckBox::WndProc(TMessage& m) {
    switch (m.Msg) {
        case BM_CLICK:
            if (!InputAllowed()) return;
            break;
        case CN_COMMAND:
            if (HIWORD(m.WParam) == BN_CLICKED) {
                checked_ = SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
                Click();
            }
            return;
    }
    TWinControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TLabel

TLabel::TLabel(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 65;
    height_ = 17;
}

void TLabel::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"STATIC";
    // Ampersands are text here, and a long line ends in an ellipsis.
    p.Style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_ENDELLIPSIS;
}

// ---------------------------------------------------------------------------
// TGroupBox

TGroupBox::TGroupBox(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 185;
    height_ = 105;
}

void TGroupBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"BUTTON";
    // Its face is painted beneath the controls it surrounds, never over them.
    p.Style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
}

// The parent clips its children out, so the frame fills its own face.
void TGroupBox::WndProc(TMessage& m) {
    if (m.Msg != WM_ERASEBKGND) return TWinControl::WndProc(m);
    RECT r;
    GetClientRect(handle_, &r);
    FillRect(reinterpret_cast<HDC>(m.WParam), &r, GetSysColorBrush(COLOR_BTNFACE));
    m.Result = 1;
}

// ---------------------------------------------------------------------------
// TLed

TLed::TLed(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 40;
    height_ = 17;
}

// From here on the window's colour questions no longer reach this class.
TLed::~TLed() {
    if (litBrush_) DeleteObject(litBrush_);
}

void TLed::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"STATIC";
    p.Style |= SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX | SS_NOTIFY | SS_SUNKEN;
}

void TLed::InitializeWnd() { SetChecked(checked_); }

// Touches the window only with calls that do not wait for its thread.
void TLed::SetChecked(bool v) {
    checked_ = v;
    HWND h = handle_;
    if (!h) return;
    SetPropW(h, kLitProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(v)));
    InvalidateRect(h, nullptr, TRUE);
}

void TLed::SetLitColor(TColor v) {
    litColor_ = v;
    if (litBrush_) DeleteObject(litBrush_);
    litBrush_ = nullptr;
    if (handle_) InvalidateRect(handle_, nullptr, TRUE);
}

std::vector<TPropInfo> TLed::PublishedProperties() const {
    auto props = TWinControl::PublishedProperties();
    props.push_back(TPropInfo{L"Checked",
                              [](const TObject* o) -> std::int64_t { return static_cast<const TLed*>(o)->Checked(); },
                              [](TObject* o, std::int64_t v) { static_cast<TLed*>(o)->SetChecked(v != 0); }});
    return props;
}

void TLed::WndProc(TMessage& m) {
    if (m.Msg == CN_CTLCOLORSTATIC) {
        auto dc = reinterpret_cast<HDC>(m.WParam);
        const bool lit = checked_;
        if (lit && !litBrush_) litBrush_ = CreateSolidBrush(ColorToRGB(litColor_));
        SetBkColor(dc, lit ? ColorToRGB(litColor_) : GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, GetSysColor(lit ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
        m.Result = reinterpret_cast<LRESULT>(lit ? litBrush_ : GetSysColorBrush(COLOR_BTNFACE));
        return;
    }
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == STN_CLICKED) Click();
        return;
    }
    TWinControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TListItems / TCustomListControl

int TListItems::AddObject(const std::wstring& s, TObject* o) {
    int i = list_.AddObject(s, o);
    owner_->ItemAdded(i);
    return i;
}

void TListItems::Delete(int i) {
    list_.Delete(i);  // raises for a bad position
    owner_->ItemDeleted(i);
}

void TListItems::Clear() {
    list_.Clear();
    owner_->ItemsCleared();
}

void TListItems::Assign(const TStringList& src) {
    if (&src == &list_) return;
    Clear();
    for (int i = 0; i < src.Count(); ++i) AddObject(src.Strings(i), src.Objects(i));
}

TCustomListControl::TCustomListControl(TComponent* AOwner, const TListMessages& msgs)
    : TWinControl(AOwner), msgs_(msgs), items_(this) {
    SetTabStop(true);
    color_ = clWindow;
}

int TCustomListControl::ItemIndex() const {
    if (handle_) {
        LRESULT r = SendMessageW(handle_, msgs_.GetCurSel, 0, 0);
        return r < 0 ? -1 : static_cast<int>(r);
    }
    return itemIndex_;
}

void TCustomListControl::SetItemIndex(int v) {
    if (v < -1 || v >= items_.Count()) v = -1;
    itemIndex_ = v;
    if (handle_) SendMessageW(handle_, msgs_.SetCurSel, static_cast<WPARAM>(v), 0);
}

void TCustomListControl::ItemAdded(int i) {
    if (handle_) SendMessageW(handle_, msgs_.AddString, 0, reinterpret_cast<LPARAM>(items_.Strings(i).c_str()));
}

void TCustomListControl::ItemDeleted(int i) {
    if (handle_) {
        SendMessageW(handle_, msgs_.DeleteString, static_cast<WPARAM>(i), 0);
        return;
    }
    if (itemIndex_ == i)
        itemIndex_ = -1;
    else if (itemIndex_ > i)
        --itemIndex_;
}

void TCustomListControl::ItemsCleared() {
    itemIndex_ = -1;
    if (handle_) SendMessageW(handle_, msgs_.ResetContent, 0, 0);
}

void TCustomListControl::InitializeWnd() {
    SendMessageW(handle_, msgs_.ResetContent, 0, 0);
    for (int i = 0; i < items_.Count(); ++i)
        SendMessageW(handle_, msgs_.AddString, 0, reinterpret_cast<LPARAM>(items_.Strings(i).c_str()));
    SendMessageW(handle_, msgs_.SetCurSel, static_cast<WPARAM>(itemIndex_), 0);
}

void TCustomListControl::SaveWndState() { itemIndex_ = ItemIndex(); }

// ---------------------------------------------------------------------------
// TListBox

TListBox::TListBox(TComponent* AOwner)
    : TCustomListControl(AOwner, {LB_ADDSTRING, LB_DELETESTRING, LB_RESETCONTENT, LB_GETCURSEL, LB_SETCURSEL}) {
    width_ = 121;
    height_ = 97;
}

void TListBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"LISTBOX";
    p.Style |= LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TListBox::InitializeWnd() {
    if (itemHeight_ > 0) SendMessageW(handle_, LB_SETITEMHEIGHT, 0, MAKELPARAM(itemHeight_, 0));
    TCustomListControl::InitializeWnd();
}

void TListBox::FontChanged() {
    TCustomListControl::FontChanged();
    // A new font resets the item height to the font's.
    if (handle_ && itemHeight_ > 0) SendMessageW(handle_, LB_SETITEMHEIGHT, 0, MAKELPARAM(itemHeight_, 0));
}

void TListBox::SetItemHeight(int v) {
    itemHeight_ = v < 0 ? 0 : v;
    if (handle_ && itemHeight_ > 0) {
        SendMessageW(handle_, LB_SETITEMHEIGHT, 0, MAKELPARAM(itemHeight_, 0));
        Invalidate();
    }
}

void TListBox::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == LBN_SELCHANGE) Click();
        return;
    }
    TCustomListControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TCustomComboBox

TCustomComboBox::TCustomComboBox(TComponent* AOwner)
    : TCustomListControl(AOwner, {CB_ADDSTRING, CB_DELETESTRING, CB_RESETCONTENT, CB_GETCURSEL, CB_SETCURSEL}) {
    width_ = 145;
    height_ = 21;
}

void TCustomComboBox::SetStyle(TComboBoxStyle v) {
    if (v == style_) return;
    style_ = v;
    RecreateWnd();
}

void TCustomComboBox::SetDropDownCount(int v) {
    dropDownCount_ = v < 1 ? 1 : v;
    // The height of the window is that of the dropped-down list.
    if (handle_) SetBounds(left_, top_, width_, height_);
}

std::wstring TCustomComboBox::Text() const {
    if (style_ == csDropDown) return handle_ ? WindowText(handle_) : text_;
    int i = ItemIndex();
    return i < 0 ? std::wstring() : Items().Strings(i);
}

void TCustomComboBox::SetText(const std::wstring& v) {
    if (style_ == csDropDownList) {
        SetItemIndex(Items().IndexOf(v));
        return;
    }
    text_ = v;
    TextChanged();
}

std::vector<TPropInfo> TCustomComboBox::PublishableProperties() {
    using C = TCustomComboBox;
    auto props = TWinControl::PublishableProperties();
    props.insert(props.end(),
                 {OrdPropInfo<C, &C::DropDownCount, &C::SetDropDownCount>(L"DropDownCount"),
                  EventPropInfo<C, &C::OnChange>(L"OnChange"), EventPropInfo<C, &C::OnDropDown>(L"OnDropDown")});
    return props;
}

void TCustomComboBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"COMBOBOX";
    p.Style |= WS_VSCROLL | (style_ == csDropDownList ? CBS_DROPDOWNLIST : (CBS_DROPDOWN | CBS_AUTOHSCROLL));
}

// The window of a combo box includes its dropped-down list.
int TCustomComboBox::WindowHeight() const {
    int row = Font().Height() + 5;
    return height_ + dropDownCount_ * row + 2;
}

void TCustomComboBox::InitializeWnd() {
    TCustomListControl::InitializeWnd();
    // What is typed goes to the edit part's own window.
    if (HWND edit = FindWindowExW(handle_, nullptr, L"Edit", nullptr))
        SetWindowSubclass(edit, &EditPartProc, 0, reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK TCustomComboBox::EditPartProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR self) {
    if (msg == WM_NCDESTROY) RemoveWindowSubclass(h, &EditPartProc, 0);
    TMessage m{msg, wp, lp, 0};
    try {
        if (reinterpret_cast<TCustomComboBox*>(self)->KeyMessage(m)) return 0;
    } catch (...) {
        if (Application) Application->HandleException(nullptr);
        return 0;
    }
    return DefSubclassProc(h, msg, m.WParam, lp);
}

void TCustomComboBox::Change() { Notify(OnChange); }

void TCustomComboBox::Command(WORD Code) {
    switch (Code) {
        case CBN_SELCHANGE:
            Click();
            Change();
            break;
        case CBN_DROPDOWN: Notify(OnDropDown); break;
        case CBN_SETFOCUS: Notify(OnEnter); break;
        case CBN_KILLFOCUS: Notify(OnExit); break;
    }
}

void TCustomComboBox::WndProc(TMessage& m) {
    switch (m.Msg) {
        case CN_COMMAND: Command(HIWORD(m.WParam)); return;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            // The CBN_ notifications tell the focus, the edit part's included.
            DefaultHandler(m);
            return;
    }
    TCustomListControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TCustomEdit

TCustomEdit::TCustomEdit(TComponent* AOwner) : TWinControl(AOwner) {
    SetTabStop(true);
    color_ = clWindow;
    width_ = 121;
    height_ = 21;
}

void TCustomEdit::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.WinClassName = L"EDIT";
    p.Style |= ES_AUTOHSCROLL;
    if (readOnly_) p.Style |= ES_READONLY;
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TCustomEdit::InitializeWnd() {
    // The window starts with the text; set it again only if it was cut short.
    if (GetWindowTextLengthW(handle_) != static_cast<int>(text_.size())) SetWindowTextW(handle_, text_.c_str());
}

void TCustomEdit::SaveWndState() { text_ = Text(); }

std::wstring TCustomEdit::Text() const { return handle_ ? WindowText(handle_) : text_; }

void TCustomEdit::SetText(const std::wstring& v) {
    text_ = v;
    if (handle_) SetWindowTextW(handle_, v.c_str());
}

void TCustomEdit::SetReadOnly(bool v) {
    readOnly_ = v;
    if (handle_) SendMessageW(handle_, EM_SETREADONLY, v ? TRUE : FALSE, 0);
}

void TCustomEdit::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == EN_CHANGE && OnChange && !Creating()) OnChange(this);
        return;
    }
    TWinControl::WndProc(m);
}

// ---------------------------------------------------------------------------
// TMemo

TMemo::TMemo(TComponent* AOwner) : TCustomEdit(AOwner) {
    width_ = 185;
    height_ = 89;
}

void TMemo::CreateParams(TCreateParams& p) {
    TCustomEdit::CreateParams(p);
    p.Style &= ~static_cast<DWORD>(ES_AUTOHSCROLL);  // wrap words instead
    p.Style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL;
}

void TMemo::InitializeWnd() {
    SendMessageW(handle_, EM_SETLIMITTEXT, 0, 0);  // no length limit
    TCustomEdit::InitializeWnd();
}

void TMemo::WndProc(TMessage& m) {
    if (m.Msg == WM_GETDLGCODE) {
        DefaultHandler(m);
        // Tab moves on and Escape is the form's; every other key is ours.
        if (auto* msg = reinterpret_cast<const MSG*>(m.LParam)) {
            if ((msg->message == WM_KEYDOWN || msg->message == WM_CHAR) &&
                (msg->wParam == VK_TAB || msg->wParam == VK_ESCAPE))
                m.Result &= ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB);
        } else {
            m.Result &= ~static_cast<LRESULT>(DLGC_WANTTAB);
        }
        return;
    }
    TCustomEdit::WndProc(m);
}

void TMemo::Append(const std::wstring& s) {
    if (!handle_) {
        text_ += text_.empty() ? s : L"\r\n" + s;
        return;
    }
    auto len = static_cast<WPARAM>(GetWindowTextLengthW(handle_));
    std::wstring ins = len > 0 ? L"\r\n" + s : s;
    SendMessageW(handle_, EM_SETSEL, len, static_cast<LPARAM>(len));
    SendMessageW(handle_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(ins.c_str()));
}

std::vector<std::wstring> TMemoLines::Split() const {
    std::wstring t = owner_->Text();
    std::vector<std::wstring> lines;
    if (t.empty()) return lines;
    size_t start = 0;
    for (;;) {
        size_t p = t.find(L"\r\n", start);
        if (p == std::wstring::npos) {
            lines.push_back(t.substr(start));
            return lines;
        }
        lines.push_back(t.substr(start, p - start));
        start = p + 2;
    }
}

int TMemoLines::Count() const { return static_cast<int>(Split().size()); }

std::wstring TMemoLines::Strings(int i) const {
    auto lines = Split();
    if (i < 0 || i >= static_cast<int>(lines.size())) throw EListError(Format(L"List index out of bounds (%d)", {i}));
    return lines[static_cast<size_t>(i)];
}

void TMemoLines::Add(const std::wstring& s) { owner_->Append(s); }

void TMemoLines::Add(std::initializer_list<std::wstring> Lines) {
    if (Lines.size() == 0) return;
    std::wstring joined;
    for (const auto& l : Lines) {
        if (&l != Lines.begin()) joined += L"\r\n";
        joined += l;
    }
    owner_->Append(joined);
}

void TMemoLines::Clear() { owner_->SetText(L""); }

std::wstring TMemoLines::Text() const { return owner_->Text(); }

void TMemoLines::SetText(const std::wstring& s) { owner_->SetText(s); }

}  // namespace fw
