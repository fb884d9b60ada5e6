// Window controls: thin objects over real Win32 windows.
//
// A windowed control creates its window on demand (Handle()) and keeps its
// settings in fields until then, so a layout can be built before any window
// exists. Each window is subclassed; its messages reach the virtual WndProc
// of its object. A parent hands WM_COMMAND, WM_NOTIFY and WM_CTLCOLOR* back
// to the child that sent them (as CN_* messages), so a control handles its
// own notifications.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "classes.h"
#include "forms.h"

namespace fw {

class TWinControl;
class TImage;

// Notifications a parent reflects to the child they came from.
enum : UINT {
    CN_BASE = 0xBC00,
    CN_COMMAND = CN_BASE + WM_COMMAND,
    CN_NOTIFY = CN_BASE + WM_NOTIFY,
    CN_CTLCOLORMSGBOX = CN_BASE + WM_CTLCOLORMSGBOX,
    CN_CTLCOLOREDIT = CN_BASE + WM_CTLCOLOREDIT,
    CN_CTLCOLORLISTBOX = CN_BASE + WM_CTLCOLORLISTBOX,
    CN_CTLCOLORBTN = CN_BASE + WM_CTLCOLORBTN,
    CN_CTLCOLORDLG = CN_BASE + WM_CTLCOLORDLG,
    CN_CTLCOLORSCROLLBAR = CN_BASE + WM_CTLCOLORSCROLLBAR,
    CN_CTLCOLORSTATIC = CN_BASE + WM_CTLCOLORSTATIC,
};

enum TFontPitch { fpDefault, fpVariable, fpFixed };

// A colour: an RGB value, or clSystemColor with a GetSysColor index.
using TColor = std::int32_t;
constexpr TColor clSystemColor = static_cast<TColor>(0x80000000u);
constexpr TColor clWindow = clSystemColor | COLOR_WINDOW;
constexpr TColor clBtnFace = clSystemColor | COLOR_BTNFACE;
COLORREF ColorToRGB(TColor c);

enum TShiftStateFlag { ssShift, ssAlt, ssCtrl };
using TShiftState = TSet<TShiftStateFlag, std::uint8_t>;
// Key: the virtual-key code; a handler that sets it to 0 takes the key.
using TKeyEvent = TEvent<void(TObject* Sender, WORD& Key, TShiftState Shift)>;
// Key: the character typed; a handler may change it, 0 takes it.
using TKeyPressEvent = TEvent<void(TObject* Sender, wchar_t& Key)>;

// A font: face name and character height in pixels (not the cell height).
// The pitch tells the system what to fall back to when the face is missing.
class TFont : public TPersistent {
public:
    TFont() = default;
    ~TFont() override;
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;

    const std::wstring& Name() const { return name_; }
    void SetName(const std::wstring& v);
    int Height() const { return height_; }
    void SetHeight(int v);
    TFontPitch Pitch() const { return pitch_; }
    void SetPitch(TFontPitch v);
    void Assign(const TFont& src);
    // Created on first use, recreated after a change.
    HFONT Handle() const;

    // Told after every change; the previous font object stays valid until
    // it returns, so windows can be switched over first.
    std::function<void()> OnChange;

private:
    void Changed();
    std::wstring name_ = L"Tahoma";
    int height_ = 11;
    TFontPitch pitch_ = fpDefault;
    mutable HFONT handle_ = nullptr;
};

// ---------------------------------------------------------------------------

// Base of every control: position in its parent, visibility, enabled state,
// font. A plain TControl has no window; its parent paints it.
class TControl : public TComponent {
public:
    explicit TControl(TComponent* AOwner);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    virtual void SetParent(TWinControl* AParent);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
    RECT BoundsRect() const { return RECT{left_, top_, left_ + width_, top_ + height_}; }

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool v);
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool v);

    // Changing the font makes it the control's own; until then the control
    // follows its parent's font.
    TFont& Font() { return *font_; }
    const TFont& Font() const { return *font_; }
    void SetFont(const TFont& v) { font_->Assign(v); }
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool v);

    const std::wstring& Caption() const { return text_; }
    void SetCaption(const std::wstring& v) { SetText(v); }
    virtual std::wstring Text() const { return text_; }
    virtual void SetText(const std::wstring& v);

    // Paint order among the window-less controls of the parent.
    void BringToFront();
    void SendToBack();

    virtual void Invalidate();
    // Invalidates and paints at once.
    void Repaint();

    // Raises OnClick.
    virtual void Click();
    TNotifyEvent OnClick;

protected:
    friend class TWinControl;
    // Every property a descendant may publish, by name (SelectProps).
    static std::vector<TPropInfo> PublishableProperties();
    // Raises e with this control as the sender, when set.
    void Notify(const TNotifyEvent& e) {
        if (e) e(this);
    }
    // Draws a window-less control; the origin is the control's top-left
    // corner and drawing is clipped to its bounds.
    virtual void Paint(HDC) {}
    virtual void FontChanged() {}
    virtual void TextChanged() {}
    bool IsWindowed() const { return windowed_; }

    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
    bool windowed_ = false;
    std::wstring text_;

private:
    void OnFontChange();
    std::unique_ptr<TFont> font_;
    bool parentFont_ = true;
    bool followingParent_ = false;
};

// What CreateWnd passes to CreateWindowExW.
struct TCreateParams {
    std::wstring WinClassName;
    DWORD Style = 0;
    DWORD ExStyle = 0;
    int X = 0, Y = 0, Width = 0, Height = 0;
    HWND WndParent = nullptr;
};

// A control with a window of its own; also the parent of other controls.
class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* AOwner);
    // Frees the child controls first; then the window.
    ~TWinControl() override;

    // The window, created on demand together with its parent's and its
    // children's windows.
    HWND Handle();
    bool HandleAllocated() const { return handle_ != nullptr; }
    void HandleNeeded() { Handle(); }

    void SetParent(TWinControl* AParent) override;
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;
    void SetVisible(bool v) override;
    void SetEnabled(bool v) override;
    void Invalidate() override;

    // Keyboard navigation order among the windowed siblings.
    int TabOrder() const { return tabOrder_; }
    void SetTabOrder(int v);
    bool TabStop() const { return tabStop_; }
    void SetTabStop(bool v);

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TControl* Controls(int i) const;

    bool Focused() const;
    void SetFocus();

    // The background; setting it makes it the control's own. Until one is
    // set, or ParentColor takes the parent's, the window class paints its own.
    TColor Color() const { return color_; }
    void SetColor(TColor v);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool v);
    // While ShowHint is on, a tooltip shows Hint over the window. With
    // ParentShowHint, ShowHint follows the parent's; setting it ends that.
    const std::wstring& Hint() const { return hint_; }
    void SetHint(const std::wstring& v);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool v);
    bool ParentShowHint() const { return parentShowHint_; }
    void SetParentShowHint(bool v);

    TNotifyEvent OnDblClick;
    // The focus came into, or left, the control.
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;
    TKeyEvent OnKeyDown;
    TKeyPressEvent OnKeyPress;
    TKeyEvent OnKeyUp;

    // Sends a message to this control's window procedure directly.
    LRESULT Perform(UINT Msg, WPARAM WParam, LPARAM LParam);
    // Every message of the window passes here.
    virtual void WndProc(TMessage& Message);
    // The window class's own handling.
    void DefaultHandler(TMessage& Message);

    // The control object of a window, if it is one of ours.
    static TWinControl* FindControl(HWND wnd);

protected:
    friend class TControl;
    static std::vector<TPropInfo> PublishableProperties();
    virtual void CreateParams(TCreateParams& Params);
    // Creates and subclasses the window, then InitializeWnd.
    virtual void CreateWnd();
    // Pushes the stored settings into a new window.
    virtual void InitializeWnd() {}
    // The window is about to go: read back what the user may have changed.
    virtual void SaveWndState() {}
    void DestroyHandle();
    // Destroys and creates the window again (styles fixed at creation).
    void RecreateWnd();
    void PaintControls(HDC dc, const RECT& clip);
    void FontChanged() override;
    void TextChanged() override;
    // Height of the window for a control height (a combo box adds its list).
    virtual int WindowHeight() const { return height_; }
    // The window accepts input: enabled, and so is its top-level window.
    bool InputAllowed() const;
    // True while the window is being created and initialised.
    bool Creating() const { return creating_; }
    // Raises the key events for a key message; true when a handler took the key.
    bool KeyMessage(TMessage& m);

    HWND handle_ = nullptr;
    TColor color_ = clBtnFace;  // the window class's, until set

private:
    friend LRESULT CALLBACK ControlWndProc(HWND, UINT, WPARAM, LPARAM);
    void CreateHandle();
    void ArrangeTabOrder();
    void InsertControl(TControl* c);
    void RemoveControl(TControl* c);
    std::vector<TWinControl*> WinChildren() const;
    void WindowDestroyed();
    bool Reflect(TMessage& m);
    bool ColorMessage(TMessage& m);
    bool InputMessage(TMessage& m);
    HBRUSH Brush();
    void ApplyColor(TColor v);
    void ApplyShowHint(bool v);
    void UpdateHint(bool show);
    bool HintWanted() const { return showHint_ && !hint_.empty(); }

    std::vector<TControl*> controls_;
    WNDPROC defWndProc_ = nullptr;
    bool ownClass_ = false;
    int tabOrder_ = -1;
    bool tabStop_ = false;
    bool creating_ = false;
    HBRUSH brush_ = nullptr;
    bool paintColor_ = false;
    bool parentColor_ = false;
    std::wstring hint_;
    bool showHint_ = false;
    bool parentShowHint_ = true;
};

// ---------------------------------------------------------------------------

enum TPosition { poDesigned, poDesktopCenter };

// A top-level window: a tool window with a thin caption, fixed size (unless
// Sizeable) and no minimise box, which still gets its own task-bar button.
class TForm : public TWinControl {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    int ClientWidth() const { return clientWidth_; }
    int ClientHeight() const { return clientHeight_; }
    void SetClientWidth(int v);
    void SetClientHeight(int v);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition v) { position_ = v; }
    // A sizing border and a maximise box; set before the window is created.
    bool Sizeable() const { return sizeable_; }
    void SetSizeable(bool v) { sizeable_ = v; }
    // The client area changed size (ClientWidth and ClientHeight tell it).
    TNotifyEvent OnResize;

    // Shows the window; the first form shown becomes the application's main
    // window, whose closing ends Run.
    void Show();
    void Hide() { SetVisible(false); }
    // Destroys the window. (The close box and WM_CLOSE are refused while
    // the form is disabled; a call from code is not.)
    void Close();
    void SetVisible(bool v) override;
    // Disabling takes all input away, close box included; enabling again
    // gives the focus back to the control that had it.
    void SetEnabled(bool v) override;

    // Ends the layout: finishes loading of the owned components, then
    // raises OnCreate. CreateForm calls it.
    virtual void AfterConstruction();
    TNotifyEvent OnCreate;

    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
    void CreateWnd() override;

private:
    void UpdateWindowSize();
    void FocusFirstControl();
    DWORD FormStyle() const;
    void Resized(LPARAM ClientSize);
    int clientWidth_ = 0, clientHeight_ = 0;
    TPosition position_ = poDesigned;
    bool sizeable_ = false;
    HWND lastFocus_ = nullptr;
};

// Creates a form, lets it finish its layout and raises its OnCreate.
template <class F, class... A> F* CreateForm(A&&... args) {
    F* f = new F(std::forward<A>(args)...);
    try {
        f->AfterConstruction();
    } catch (...) {
        delete f;
        throw;
    }
    return f;
}

// ---------------------------------------------------------------------------

class TButton : public TWinControl {
public:
    explicit TButton(TComponent* AOwner);
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
};

// A check box; its Checked is a published property, so it can serve as a
// monitor set through run-time property lookup, also from a worker thread
// (which then never waits for the window's thread). Setting it from code
// raises no OnClick.
class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* AOwner);
    bool Checked() const { return checked_.load(); }
    void SetChecked(bool v);
    std::vector<TPropInfo> PublishedProperties() const override;
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;
    void SaveWndState() override;

private:
    std::atomic<bool> checked_{false};
};

// A line of text, e.g. a status line. It takes no input and no focus.
class TLabel : public TWinControl {
public:
    explicit TLabel(TComponent* AOwner);

protected:
    void CreateParams(TCreateParams& Params) override;
};

// A frame with a caption around a group of controls. The controls stay
// children of the form: place the frame around them, after them.
class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* AOwner);
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
};

// A lamp showing a state the user reads but does not set: lit (a coloured
// face) while Checked. Checked is a published property, so it can serve as a
// monitor like a check box, also set from a worker thread without waiting for
// the window's thread. A click raises OnClick; the lamp does not change.
// Other processes see the state as the window property kLitProperty.
class TLed : public TWinControl {
public:
    explicit TLed(TComponent* AOwner);
    ~TLed() override;
    static constexpr const wchar_t* kLitProperty = L"fw.Lit";
    bool Checked() const { return checked_.load(); }
    void SetChecked(bool v);
    TColor LitColor() const { return litColor_; }
    void SetLitColor(TColor v);
    std::vector<TPropInfo> PublishedProperties() const override;
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;

private:
    std::atomic<bool> checked_{false};
    TColor litColor_ = 0x00FF00;  // green
    HBRUSH litBrush_ = nullptr;
};

class TCustomListControl;

// The entries of a list box or combo box: texts with an object each, kept
// in step with the window. Objects are not owned.
class TListItems {
public:
    int Count() const { return list_.Count(); }
    const std::wstring& Strings(int i) const { return list_.Strings(i); }
    TObject* Objects(int i) const { return list_.Objects(i); }
    void SetObjects(int i, TObject* o) { list_.SetObjects(i, o); }
    int Add(const std::wstring& s) { return AddObject(s, nullptr); }
    int AddObject(const std::wstring& s, TObject* o);
    void Delete(int i);
    void Clear();
    int IndexOf(const std::wstring& s) const { return list_.IndexOf(s); }
    // Replaces every entry with those of src (texts and objects).
    void Assign(const TStringList& src);
    const TStringList& List() const { return list_; }

private:
    friend class TCustomListControl;
    explicit TListItems(TCustomListControl* owner) : owner_(owner) {}
    TCustomListControl* owner_;
    TStringList list_;
};

// Shared part of the list box and the combo box: entries and the selected
// entry. Setting ItemIndex from code raises no event.
class TCustomListControl : public TWinControl {
public:
    TListItems& Items() { return items_; }
    const TListItems& Items() const { return items_; }
    int ItemIndex() const;
    void SetItemIndex(int v);

protected:
    struct TListMessages {
        UINT AddString, DeleteString, ResetContent, GetCurSel, SetCurSel;
    };
    TCustomListControl(TComponent* AOwner, const TListMessages& msgs);
    void InitializeWnd() override;
    void SaveWndState() override;

private:
    friend class TListItems;
    void ItemAdded(int i);
    void ItemDeleted(int i);
    void ItemsCleared();
    TListMessages msgs_;
    TListItems items_;
    int itemIndex_ = -1;
};

// A list box; OnClick is raised when the user changes the selection.
class TListBox : public TCustomListControl {
public:
    explicit TListBox(TComponent* AOwner);
    int ItemHeight() const { return itemHeight_; }
    void SetItemHeight(int v);
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;
    void FontChanged() override;

private:
    int itemHeight_ = 0;  // 0: the font's
};

enum TComboBoxStyle { csDropDown, csDropDownList };

// A combo box. A pick by the user raises OnClick, then Change (OnChange).
// Keys typed into the edit part raise the combo box's key events.
class TCustomComboBox : public TCustomListControl {
public:
    explicit TCustomComboBox(TComponent* AOwner);
    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle v);
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int v);
    // In the drop-down-list style: the selected entry's text; setting it
    // selects the entry of that text, or none.
    std::wstring Text() const override;
    void SetText(const std::wstring& v) override;
    void WndProc(TMessage& Message) override;
    TNotifyEvent OnChange;
    // The list is about to drop down.
    TNotifyEvent OnDropDown;

protected:
    static std::vector<TPropInfo> PublishableProperties();
    virtual void Change();
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;
    int WindowHeight() const override;

private:
    void Command(WORD Code);
    static LRESULT CALLBACK EditPartProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR self);
    TComboBoxStyle style_ = csDropDown;
    int dropDownCount_ = 8;
};

class TComboBox : public TCustomComboBox {
public:
    using TCustomComboBox::TCustomComboBox;
};

// A single-line edit. Another object may replace its window procedure
// (SetWindowLongPtrW GWLP_WNDPROC) and call the saved one; restoring it
// returns the control to normal.
class TCustomEdit : public TWinControl {
public:
    explicit TCustomEdit(TComponent* AOwner);
    std::wstring Text() const override;
    void SetText(const std::wstring& v) override;
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool v);
    void WndProc(TMessage& Message) override;
    // Raised on every change of the text, from code or by the user.
    TNotifyEvent OnChange;

protected:
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;
    void SaveWndState() override;

private:
    bool readOnly_ = false;
};

class TEdit : public TCustomEdit {
public:
    using TCustomEdit::TCustomEdit;
};

class TMemo;

// The lines of a memo: its text split at line breaks (an empty memo has
// none). Count counts lines, not wrapped rows.
class TMemoLines {
public:
    int Count() const;
    std::wstring Strings(int i) const;
    // Appends s as a new last line.
    void Add(const std::wstring& s);
    // Appends each of Lines as a new last line, in one edit of the control
    // (each edit of a long text costs the control a new layout).
    void Add(std::initializer_list<std::wstring> Lines);
    void Clear();
    std::wstring Text() const;
    void SetText(const std::wstring& s);

private:
    friend class TMemo;
    explicit TMemoLines(TMemo* owner) : owner_(owner) {}
    std::vector<std::wstring> Split() const;
    TMemo* owner_;
};

// A multi-line edit with a vertical scroll bar and word wrap, without a
// length limit. Tab and Escape go to the form's keyboard navigation.
class TMemo : public TCustomEdit {
public:
    explicit TMemo(TComponent* AOwner);
    TMemoLines& Lines() { return lines_; }
    const TMemoLines& Lines() const { return lines_; }
    void WndProc(TMessage& Message) override;

protected:
    void CreateParams(TCreateParams& Params) override;
    void InitializeWnd() override;

private:
    friend class TMemoLines;
    void Append(const std::wstring& s);
    TMemoLines lines_{this};
};

// ---------------------------------------------------------------------------

// A bitmap owned by an image.
class TPicture {
public:
    TPicture() = default;
    ~TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    HBITMAP Bitmap() const { return bitmap_; }
    bool Empty() const { return bitmap_ == nullptr; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Stores a copy; the caller keeps src.
    void SetBitmap(HBITMAP src);
    // Takes ownership of bmp.
    void AdoptBitmap(HBITMAP bmp);
    void Clear() { AdoptBitmap(nullptr); }

    std::function<void()> OnChange;

private:
    HBITMAP bitmap_ = nullptr;
    int width_ = 0, height_ = 0;
};

// Window-less controls, drawn by their parent beneath its child windows.
class TGraphicControl : public TControl {
public:
    using TControl::TControl;
};

// Shows a picture; repaints when it changes.
class TImage : public TGraphicControl {
public:
    explicit TImage(TComponent* AOwner);
    TPicture& Picture() { return picture_; }
    bool Stretch() const { return stretch_; }
    void SetStretch(bool v);
    bool Center() const { return center_; }
    void SetCenter(bool v);
    bool Proportional() const { return proportional_; }
    void SetProportional(bool v);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool v);
    // Where the picture is drawn, in the image's own coordinates.
    RECT DestRect() const;

protected:
    void Paint(HDC dc) override;

private:
    void PictureChanged();
    TPicture picture_;
    bool stretch_ = false, center_ = false, proportional_ = false, autoSize_ = false;
};

// A rectangle with a thin black outline and a white fill. A shape is a
// backdrop: it goes behind the window-less controls already on its parent.
class TShape : public TGraphicControl {
public:
    explicit TShape(TComponent* AOwner);
    void SetParent(TWinControl* AParent) override;

protected:
    void Paint(HDC dc) override;
};

// Pictures of one size, e.g. 150 x 150.
class TImageList : public TComponent {
public:
    explicit TImageList(TComponent* AOwner);
    ~TImageList() override;

    int Width() const { return width_; }
    int Height() const { return height_; }
    // Changing the size empties the list.
    void SetWidth(int v);
    void SetHeight(int v);
    int Count() const;
    // Adds a copy of bmp, scaled to the list's size; the position, or -1.
    int Add(HBITMAP bmp);
    void Clear();
    // Copies picture i into the image's picture; false (image unchanged)
    // when there is no picture i.
    bool GetBitmap(int i, TImage* image) const;
    HIMAGELIST Handle() const { return list_; }

private:
    void Recreate();
    HIMAGELIST list_ = nullptr;
    int width_ = 16, height_ = 16;
};

// Raises OnTimer every Interval ms while Enabled, from the message loop of
// the thread that created it.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned v);
    TNotifyEvent OnTimer;

private:
    void UpdateTimer();
    void TimerWndProc(TMessage& Msg);
    HWND wnd_ = nullptr;
    unsigned interval_ = 1000;
    bool enabled_ = true;
};

}  // namespace fw
