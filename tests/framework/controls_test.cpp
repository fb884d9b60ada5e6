// Tests of framework/controls.cpp, controls_std.cpp, controls_graphics.cpp.
// Controls driven through real window messages and, where it matters, real
// mouse and keyboard input (Wine's null display driver delivers both).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "framework/controls.h"

using namespace fw;

namespace {

void Pump() { Application->ProcessMessages(); }

bool PumpUntil(const std::function<bool()>& pred, DWORD ms = 2000) {
    return Application->ProcessMessagesUntil(pred, ms);
}

HBITMAP SolidBitmap(int w, int h, COLORREF color) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    HBRUSH br = CreateSolidBrush(color);
    RECT r{0, 0, w, h};
    FillRect(dc, &r, br);
    DeleteObject(br);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bmp;
}

COLORREF BitmapPixel(HBITMAP bmp, int x, int y) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    return c;
}

// What the window shows at a client point (read back from its window DC).
COLORREF ShownPixel(HWND wnd, int x, int y) {
    RECT wr;
    GetWindowRect(wnd, &wr);
    POINT o{0, 0};
    ClientToScreen(wnd, &o);
    int w = wr.right - wr.left, h = wr.bottom - wr.top;
    HDC wdc = GetWindowDC(wnd);
    HDC mem = CreateCompatibleDC(wdc);
    HBITMAP bmp = CreateCompatibleBitmap(wdc, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, wdc, 0, 0, SRCCOPY);
    COLORREF c = GetPixel(mem, x + (o.x - wr.left), y + (o.y - wr.top));
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(wnd, wdc);
    return c;
}

int LogicalFontHeight(HWND wnd) {
    auto f = reinterpret_cast<HFONT>(SendMessageW(wnd, WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    GetObjectW(f, sizeof(lf), &lf);
    return lf.lfHeight;
}

POINT CentreOf(HWND wnd) {
    RECT r;
    GetWindowRect(wnd, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Real input goes to whatever lies under the cursor: make it our window's
// (another program of the session may have come to the front).
bool ReadyForInput(HWND target) {
    HWND root = GetAncestor(target, GA_ROOT);
    return PumpUntil([&] {
        SetForegroundWindow(root);
        return GetForegroundWindow() == root && WindowFromPoint(CentreOf(target)) == target;
    });
}

// A real left click in the middle of a window.
void MouseClick(HWND wnd) {
    POINT p = CentreOf(wnd);
    SetCursorPos(p.x, p.y);
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_MOUSE;
    in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, in, sizeof(INPUT));
}

void KeyPress(WORD vk) {
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = vk;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
}

class Counter {
public:
    void Hit(TObject* sender) {
        ++count;
        last = sender;
    }
    TNotifyEvent Event() { return TNotifyEvent::Bind<&Counter::Hit>(this); }
    int count = 0;
    TObject* last = nullptr;
};

class ControlsTest : public testing::Test {
protected:
    void SetUp() override {
        form = new TForm(nullptr);
        form->SetClientWidth(400);
        form->SetClientHeight(300);
        form->SetCaption(L"controls test");
    }
    void TearDown() override {
        delete form;
        Screen->SetCursor(crDefault);
        Pump();
    }
    template <class C> C* Add(int l, int t, int w, int h) {
        auto* c = new C(form);
        c->SetParent(form);
        c->SetBounds(l, t, w, h);
        return c;
    }
    void ShowForm() {
        form->Show();
        SetForegroundWindow(form->Handle());
        Pump();
    }
    TForm* form = nullptr;
};

}  // namespace

TEST_F(ControlsTest, ButtonRaisesOnClickOncePerClick) {
    auto* b = Add<TButton>(10, 10, 100, 25);
    b->SetCaption(L"START");
    Counter clicks;
    b->OnClick = clicks.Event();
    ShowForm();

    SendMessageW(b->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks.count, 1);
    EXPECT_EQ(clicks.last, b);

    ASSERT_TRUE(ReadyForInput(b->Handle()));
    MouseClick(b->Handle());
    EXPECT_TRUE(PumpUntil([&] { return clicks.count == 2; }));
    Pump();
    EXPECT_EQ(clicks.count, 2);

    wchar_t text[32];
    GetWindowTextW(b->Handle(), text, 32);
    EXPECT_STREQ(text, L"START");
}

TEST_F(ControlsTest, ListBoxRaisesOnClickOnlyForTheUsersPick) {
    auto* lb = Add<TListBox>(8, 8, 152, 152);
    for (auto s : {L"DAF", L"MAN", L"IVECO"}) lb->Items().Add(s);
    lb->SetItemHeight(21);
    lb->SetItemIndex(0);  // before the window exists
    Counter clicks;
    lb->OnClick = clicks.Event();
    ShowForm();

    EXPECT_EQ(SendMessageW(lb->Handle(), LB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(SendMessageW(lb->Handle(), LB_GETITEMHEIGHT, 0, 0), 21);
    EXPECT_EQ(lb->ItemIndex(), 0);

    lb->SetItemIndex(2);
    Pump();
    EXPECT_EQ(lb->ItemIndex(), 2);
    EXPECT_EQ(clicks.count, 0);

    SendMessageW(lb->Handle(), WM_KEYDOWN, VK_UP, 0);  // the list box's own key handling
    Pump();
    EXPECT_EQ(lb->ItemIndex(), 1);
    EXPECT_EQ(clicks.count, 1);

    lb->SetItemIndex(7);  // no such entry: nothing selected
    EXPECT_EQ(lb->ItemIndex(), -1);
    EXPECT_EQ(clicks.count, 1);
}

TEST_F(ControlsTest, ComboBoxRaisesChangeOnlyForTheUsersPick) {
    auto* cb = Add<TComboBox>(8, 166, 310, 24);
    cb->SetStyle(csDropDownList);
    TObject tagA, tagB;
    cb->Items().AddObject(L"COM1", &tagA);
    cb->Items().AddObject(L"COM3 (USB Serial Port)", &tagB);
    Counter changes, clicks;
    cb->OnChange = changes.Event();
    cb->OnClick = clicks.Event();
    ShowForm();

    HWND h = cb->Handle();
    EXPECT_EQ(GetWindowLongPtrW(h, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_EQ(SendMessageW(h, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(cb->ItemIndex(), -1);

    cb->SetItemIndex(0);
    Pump();
    EXPECT_EQ(SendMessageW(h, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(changes.count, 0);

    SendMessageW(h, WM_KEYDOWN, VK_DOWN, 0);  // the user moves to the next entry
    Pump();
    EXPECT_EQ(cb->ItemIndex(), 1);
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(clicks.count, 1);
    EXPECT_EQ(cb->Items().Objects(cb->ItemIndex()), &tagB);

    // The plain notification path as a parent sees it.
    SendMessageW(h, CB_SETCURSEL, 0, 0);
    SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELCHANGE), reinterpret_cast<LPARAM>(h));
    EXPECT_EQ(changes.count, 2);

    cb->Items().Clear();
    EXPECT_EQ(SendMessageW(h, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(cb->ItemIndex(), -1);
    EXPECT_EQ(changes.count, 2);
}

TEST_F(ControlsTest, MemoLinesAddAndClearWithoutALengthLimit) {
    auto* memo = Add<TMemo>(8, 196, 461, 96);
    memo->Lines().Add(L"before the window");
    ShowForm();

    HWND h = memo->Handle();
    LONG_PTR st = GetWindowLongPtrW(h, GWL_STYLE);
    EXPECT_TRUE(st & ES_MULTILINE);
    EXPECT_TRUE(st & WS_VSCROLL);
    EXPECT_FALSE(st & ES_AUTOHSCROLL);  // wraps words
    EXPECT_FALSE(st & ES_READONLY);

    memo->Lines().Add(L"Error: Timeout!");
    memo->Lines().Add(L"");
    memo->Lines().Add(L"Truck OK ACK Received! ");
    ASSERT_EQ(memo->Lines().Count(), 4);
    EXPECT_EQ(memo->Lines().Strings(0), L"before the window");
    EXPECT_EQ(memo->Lines().Strings(2), L"");
    EXPECT_EQ(memo->Lines().Strings(3), L"Truck OK ACK Received! ");
    EXPECT_THROW(memo->Lines().Strings(4), EListError);

    // What the user typed stays; the new line goes below it.
    SendMessageW(h, EM_SETSEL, 0, 0);
    SendMessageW(h, WM_CHAR, L'>', 1);
    memo->Lines().Add(L"next");
    EXPECT_EQ(memo->Lines().Strings(0), L">before the window");
    EXPECT_EQ(memo->Lines().Strings(4), L"next");

    // Several lines in one edit of the control: one change, each line its own.
    int changes = 0;
    memo->OnChange = [&](TObject*) { ++changes; };
    memo->Lines().Add({L"Truck OK ACK Received! ", L"Programming successfull! "});
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(memo->Lines().Count(), 7);
    EXPECT_EQ(memo->Lines().Strings(5), L"Truck OK ACK Received! ");
    EXPECT_EQ(memo->Lines().Strings(6), L"Programming successfull! ");
    memo->OnChange = nullptr;

    memo->Lines().Clear();
    EXPECT_EQ(memo->Lines().Count(), 0);
    EXPECT_EQ(GetWindowTextLengthW(h), 0);
    memo->Lines().Add({L"first", L"second"});  // an empty log gets no blank line first
    EXPECT_EQ(memo->Lines().Text(), L"first\r\nsecond");
    memo->Lines().Clear();

    // A long log loses nothing (an edit holds 30000 characters by default).
    auto* hidden = Add<TMemo>(8, 196, 461, 96);
    hidden->SetVisible(false);  // the same edit, without the cost of showing every change
    std::wstring line = L"Sending Truck Data: MERCEDES... Error: Timeout!";
    for (int i = 0; i < 700; ++i) hidden->Lines().Add(line);
    EXPECT_EQ(hidden->Lines().Count(), 700);
    EXPECT_EQ(GetWindowTextLengthW(hidden->Handle()), 700 * 47 + 699 * 2);
}

TEST_F(ControlsTest, DisabledFormRefusesClicksAndClosing) {
    auto* b = Add<TButton>(10, 10, 100, 25);
    Counter clicks;
    b->OnClick = clicks.Event();
    ShowForm();
    HWND wnd = form->Handle();
    ASSERT_TRUE(ReadyForInput(b->Handle()));
    auto* other = Add<TButton>(10, 50, 100, 25);
    other->SetFocus();

    form->SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(wnd));
    MouseClick(b->Handle());
    SendMessageW(b->Handle(), BM_CLICK, 0, 0);
    SendMessageW(wnd, WM_CLOSE, 0, 0);
    SendMessageW(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    Pump();
    EXPECT_TRUE(IsWindow(wnd));
    EXPECT_EQ(clicks.count, 0);

    // Input is handled in order: once a later click arrives, the earlier one
    // has certainly been dropped rather than delayed.
    form->SetEnabled(true);
    EXPECT_TRUE(other->Focused());  // the keyboard works again where it was
    ASSERT_TRUE(ReadyForInput(b->Handle()));
    MouseClick(b->Handle());
    EXPECT_TRUE(PumpUntil([&] { return clicks.count > 0; }));
    EXPECT_EQ(clicks.count, 1);

    SendMessageW(wnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_FALSE(form->HandleAllocated());
    EXPECT_FALSE(b->HandleAllocated());
}

TEST_F(ControlsTest, ClosingTheMainFormEndsRun) {
    auto* b = Add<TButton>(10, 10, 100, 25);
    b->OnClick = [this](TObject*) { form->Close(); };
    ShowForm();
    ASSERT_EQ(Application->MainWindow(), form->Handle());

    // Should Run not end, this ends it, and the test fails.
    bool gaveUp = false;
    TTimer guard(nullptr);
    guard.SetInterval(3000);
    guard.OnTimer = [&](TObject*) {
        gaveUp = true;
        Application->Terminate();
    };
    PostMessageW(b->Handle(), BM_CLICK, 0, 0);
    Application->Run();
    EXPECT_FALSE(gaveUp);
    EXPECT_FALSE(form->HandleAllocated());
}

TEST_F(ControlsTest, CheckBoxCheckedIsPublished) {
    auto* cb = Add<TCheckBox>(10, 10, 100, 17);
    Counter clicks;
    cb->OnClick = clicks.Event();

    EXPECT_TRUE(SetOrdProp(cb, L"Checked", 1));  // before the window exists
    EXPECT_TRUE(cb->Checked());
    ShowForm();
    EXPECT_EQ(SendMessageW(cb->Handle(), BM_GETCHECK, 0, 0), BST_CHECKED);

    EXPECT_TRUE(SetOrdProp(cb, L"checked", 0));
    EXPECT_EQ(SendMessageW(cb->Handle(), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    std::int64_t v = -1;
    EXPECT_TRUE(GetOrdProp(cb, L"Checked", v));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(clicks.count, 0);

    SendMessageW(cb->Handle(), BM_CLICK, 0, 0);  // the user ticks it
    EXPECT_TRUE(cb->Checked());
    EXPECT_EQ(clicks.count, 1);

    // A monitor set from a worker thread while this thread does not pump.
    std::thread worker([cb] { SetOrdProp(cb, L"Checked", 0); });
    worker.join();
    EXPECT_FALSE(cb->Checked());
    Pump();
    EXPECT_EQ(SendMessageW(cb->Handle(), BM_GETCHECK, 0, 0), BST_UNCHECKED);

    auto* b = Add<TButton>(10, 40, 100, 25);
    auto* memo = Add<TMemo>(10, 70, 100, 40);
    EXPECT_FALSE(SetOrdProp(b, L"Checked", 1));
    EXPECT_FALSE(SetOrdProp(memo, L"Checked", 1));
    EXPECT_FALSE(SetOrdProp(form, L"Checked", 1));
}

TEST_F(ControlsTest, LampIsLitFromAWorkerThreadAndAClickChangesNothing) {
    auto* led = Add<TLed>(10, 10, 40, 17);
    Counter clicks;
    led->OnClick = clicks.Event();
    ShowForm();
    // Set while this thread does not pump: the call must not wait for it.
    std::thread worker([led] { SetOrdProp(led, L"Checked", 1); });
    worker.join();
    EXPECT_TRUE(led->Checked());
    EXPECT_NE(GetPropW(led->Handle(), TLed::kLitProperty), nullptr);  // what other processes read
    SendMessageW(led->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, 0);
    SendMessageW(led->Handle(), WM_LBUTTONUP, 0, 0);
    EXPECT_EQ(clicks.count, 1);
    EXPECT_TRUE(led->Checked());
}

TEST_F(ControlsTest, SizeableFormTellsItsNewClientSize) {
    form->SetSizeable(true);
    Counter resized;
    form->OnResize = resized.Event();
    ShowForm();
    EXPECT_TRUE(GetWindowLongW(form->Handle(), GWL_STYLE) & WS_THICKFRAME);
    RECT r;
    GetWindowRect(form->Handle(), &r);
    SetWindowPos(form->Handle(), nullptr, 0, 0, r.right - r.left + 100, r.bottom - r.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(form->ClientWidth(), 500);
    EXPECT_EQ(form->ClientHeight(), 350);
    EXPECT_GE(resized.count, 1);
}

TEST_F(ControlsTest, LabelShowsItsTextLiterally) {
    auto* label = Add<TLabel>(10, 10, 200, 17);
    label->SetCaption(L"COM1 & COM2");  // before the window exists
    ShowForm();
    HWND h = label->Handle();
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    EXPECT_STREQ(cls, L"Static");
    EXPECT_EQ(label->Text(), L"COM1 & COM2");
    EXPECT_TRUE(GetWindowLongW(h, GWL_STYLE) & SS_NOPREFIX);  // "&" is not an accelerator
    EXPECT_FALSE(GetWindowLongW(h, GWL_STYLE) & WS_TABSTOP);

    label->SetCaption(L"received 12");
    wchar_t shown[32] = {};
    GetWindowTextW(h, shown, 32);
    EXPECT_STREQ(shown, L"received 12");
}

TEST_F(ControlsTest, TimerTicksOnTheMessageLoopWhileEnabled) {
    auto* t = new TTimer(form);
    t->SetEnabled(false);
    t->SetInterval(10);
    Counter ticks;
    t->OnTimer = ticks.Event();

    t->SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return ticks.count >= 3; }));
    EXPECT_EQ(ticks.last, t);

    t->SetEnabled(false);
    int seen = ticks.count;
    EXPECT_FALSE(PumpUntil([&] { return ticks.count != seen; }, 60));

    // An exception of the handler reaches the application, not Windows.
    std::wstring reported;
    Application->OnException = [&](TObject*, const Exception& e) { reported = e.Message(); };
    t->OnTimer = [](TObject*) { throw Exception(L"tick failed"); };
    t->SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    t->SetEnabled(false);
    Application->OnException = nullptr;
    EXPECT_EQ(reported, L"tick failed");
}

TEST_F(ControlsTest, ImageListPictureShowsInTheImageInFrontOfTheShape) {
    auto* list = new TImageList(form);
    list->SetWidth(150);
    list->SetHeight(150);
    HBITMAP red = SolidBitmap(150, 150, RGB(200, 0, 0));
    HBITMAP blue = SolidBitmap(75, 75, RGB(0, 0, 200));  // scaled to fit the list
    EXPECT_EQ(list->Add(red), 0);
    EXPECT_EQ(list->Add(blue), 1);
    DeleteObject(red);
    DeleteObject(blue);
    EXPECT_EQ(list->Count(), 2);

    auto* image = Add<TImage>(167, 9, 150, 150);
    image->SetAutoSize(true);
    image->SetCenter(true);
    image->SetProportional(true);
    image->SetStretch(true);
    auto* shape = Add<TShape>(166, 8, 152, 152);  // placed after the image, painted behind it
    (void)shape;
    ShowForm();

    ASSERT_TRUE(list->GetBitmap(1, image));
    EXPECT_EQ(image->Picture().Width(), 150);
    EXPECT_EQ(BitmapPixel(image->Picture().Bitmap(), 75, 75), RGB(0, 0, 200));
    image->Repaint();
    EXPECT_EQ(ShownPixel(form->Handle(), 167 + 75, 9 + 75), RGB(0, 0, 200));
    EXPECT_EQ(ShownPixel(form->Handle(), 167, 9), RGB(0, 0, 200));
    EXPECT_EQ(ShownPixel(form->Handle(), 166, 8), RGB(0, 0, 0));    // outline
    EXPECT_EQ(ShownPixel(form->Handle(), 317, 159), RGB(0, 0, 0));  // outline, far corner
    EXPECT_EQ(ShownPixel(form->Handle(), 165, 7), GetSysColor(COLOR_BTNFACE));

    ASSERT_TRUE(list->GetBitmap(0, image));
    image->Repaint();
    EXPECT_EQ(ShownPixel(form->Handle(), 167 + 75, 9 + 75), RGB(200, 0, 0));

    // No picture 7: the image keeps what it shows.
    HBITMAP before = image->Picture().Bitmap();
    EXPECT_FALSE(list->GetBitmap(7, image));
    EXPECT_FALSE(list->GetBitmap(-1, image));
    EXPECT_EQ(image->Picture().Bitmap(), before);
}

TEST(ControlsImage, ProportionalStretchKeepsTheAspectAndCentres) {
    TImage image(nullptr);
    image.SetBounds(0, 0, 150, 150);
    image.Picture().AdoptBitmap(SolidBitmap(300, 100, RGB(1, 2, 3)));
    RECT r = image.DestRect();
    EXPECT_EQ(r.right - r.left, 300);  // as it is: no stretch, no fitting asked
    image.SetProportional(true);
    r = image.DestRect();
    EXPECT_EQ(r.right - r.left, 150);
    EXPECT_EQ(r.bottom - r.top, 50);
    image.SetCenter(true);
    r = image.DestRect();
    EXPECT_EQ(r.top, 50);
    image.Picture().AdoptBitmap(SolidBitmap(30, 60, RGB(1, 2, 3)));
    r = image.DestRect();
    EXPECT_EQ(r.right - r.left, 30);  // proportional alone does not enlarge
    image.SetStretch(true);
    r = image.DestRect();
    EXPECT_EQ(r.right - r.left, 75);
    EXPECT_EQ(r.bottom - r.top, 150);
    EXPECT_EQ(r.left, 37);
}

TEST_F(ControlsTest, DestroyingControlsInAnyOrderIsSafe) {
    TComponent owner(nullptr);
    auto* panel = new TWinControl(&owner);
    panel->SetParent(form);
    panel->SetBounds(0, 0, 200, 200);
    auto* inner = new TButton(&owner);
    inner->SetParent(panel);
    auto* memo = new TMemo(&owner);
    memo->SetParent(panel);
    auto* image = new TImage(&owner);
    image->SetParent(panel);
    auto* orphan = new TButton(nullptr);  // no owner: its parent frees it
    orphan->SetParent(panel);
    ShowForm();
    HWND innerWnd = inner->Handle();
    HWND memoWnd = memo->Handle();
    EXPECT_EQ(GetParent(innerWnd), panel->Handle());

    delete inner;  // a child first
    EXPECT_FALSE(IsWindow(innerWnd));
    EXPECT_EQ(panel->ControlCount(), 3);
    EXPECT_EQ(owner.ComponentCount(), 3);

    delete panel;  // then the parent of the rest
    EXPECT_FALSE(IsWindow(memoWnd));
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(form->ControlCount(), 0);

    // The form itself, with children and their windows, while shown.
    auto* b = Add<TButton>(1, 1, 50, 20);
    auto* lb = Add<TListBox>(1, 30, 50, 50);
    lb->Items().Add(L"x");
    (void)b;
    HWND formWnd = form->Handle();
    delete form;
    form = nullptr;
    EXPECT_FALSE(IsWindow(formWnd));
    Pump();
}

TEST_F(ControlsTest, ControlWithoutParentStillWorks) {
    TEdit edit(nullptr);
    edit.SetText(L"abc");
    HWND h = edit.Handle();
    ASSERT_TRUE(IsWindow(h));
    Counter changes;
    edit.OnChange = changes.Event();
    SetWindowTextW(h, L"abcd");
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(edit.Text(), L"abcd");

    edit.SetParent(form);  // placed later, the window moves along
    EXPECT_EQ(GetParent(h), form->Handle());
    EXPECT_EQ(edit.Text(), L"abcd");
    edit.SetParent(nullptr);
}

namespace {
WNDPROC gSavedProc = nullptr;
int gCharsSeen = 0;
LRESULT CALLBACK HookProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CHAR) {
        ++gCharsSeen;
        if (wp == L'#') return 0;  // swallowed
    }
    return CallWindowProcW(gSavedProc, h, msg, wp, lp);
}
}  // namespace

TEST_F(ControlsTest, EditWindowProcedureCanBeReplacedAndRestored) {
    auto* edit = Add<TEdit>(10, 10, 200, 21);
    Counter changes;
    edit->OnChange = changes.Event();
    ShowForm();
    HWND h = edit->Handle();

    gCharsSeen = 0;
    gSavedProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HookProc)));
    SendMessageW(h, WM_CHAR, L'a', 1);
    SendMessageW(h, WM_CHAR, L'#', 1);
    EXPECT_EQ(gCharsSeen, 2);
    EXPECT_EQ(edit->Text(), L"a");
    EXPECT_EQ(changes.count, 1);  // notifications still reach the control

    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gSavedProc));
    SendMessageW(h, WM_CHAR, L'#', 1);
    EXPECT_EQ(gCharsSeen, 2);
    EXPECT_EQ(edit->Text(), L"a#");
    EXPECT_EQ(changes.count, 2);

    // Freed while someone else's procedure is still in front of ours.
    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HookProc));
    delete edit;
    EXPECT_FALSE(IsWindow(h));
}

TEST_F(ControlsTest, TabMovesFocusInTabOrder) {
    // Created in another order than the tab order.
    auto* third = Add<TButton>(10, 70, 80, 25);
    auto* first = Add<TListBox>(10, 100, 80, 60);
    auto* second = Add<TButton>(10, 40, 80, 25);
    auto* noStop = Add<TCheckBox>(10, 10, 80, 17);
    noStop->SetTabStop(false);
    first->SetTabOrder(0);
    second->SetTabOrder(1);
    third->SetTabOrder(2);
    noStop->SetTabOrder(3);
    ShowForm();

    ASSERT_TRUE(ReadyForInput(first->Handle()));
    EXPECT_TRUE(first->Focused());  // the form hands its focus to the first stop
    KeyPress(VK_TAB);
    EXPECT_TRUE(PumpUntil([&] { return second->Focused(); }));
    KeyPress(VK_TAB);
    EXPECT_TRUE(PumpUntil([&] { return third->Focused(); }));
    KeyPress(VK_TAB);
    EXPECT_TRUE(PumpUntil([&] { return first->Focused(); }));
}

TEST_F(ControlsTest, HourglassShowsOverControlsWhileTheScreenCursorSaysSo) {
    auto* b = Add<TButton>(10, 10, 80, 25);
    ShowForm();
    HWND h = b->Handle();
    LPARAM hit = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);

    Screen->SetCursor(crHourGlass);
    EXPECT_TRUE(SendMessageW(h, WM_SETCURSOR, reinterpret_cast<WPARAM>(h), hit));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
    EXPECT_TRUE(SendMessageW(form->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(form->Handle()), hit));

    Screen->SetCursor(crDefault);
    SendMessageW(h, WM_SETCURSOR, reinterpret_cast<WPARAM>(h), hit);
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));
}

// A terminal asks for a fixed-pitch face that a machine may lack: it must
// still get a font whose characters are all of one width.
TEST(ControlsFont, FixedPitchSurvivesAMissingFace) {
    auto width = [](const TFont& f, const wchar_t* text) {
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, f.Handle());
        SIZE size{};
        GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
        SelectObject(dc, old);
        DeleteDC(dc);
        return size.cx;
    };
    TFont font;
    font.SetName(L"No Such Face 1234");
    font.SetHeight(14);
    EXPECT_NE(width(font, L"iiiiiiii"), width(font, L"WWWWWWWW"));  // the fallback is proportional
    font.SetPitch(fpFixed);
    EXPECT_EQ(width(font, L"iiiiiiii"), width(font, L"WWWWWWWW"));
    TFont copy;
    copy.Assign(font);
    EXPECT_EQ(copy.Pitch(), fpFixed);
}

TEST_F(ControlsTest, FormLayoutFontsAndPlacement) {
    form->SetClientWidth(477);
    form->SetClientHeight(301);
    form->SetPosition(poDesktopCenter);
    form->Font().SetHeight(13);
    auto* b = Add<TButton>(324, 134, 145, 25);
    auto* lb = Add<TListBox>(8, 8, 152, 152);
    lb->Font().SetHeight(17);
    ShowForm();

    RECT cr, wr;
    GetClientRect(form->Handle(), &cr);
    EXPECT_EQ(cr.right, 477);
    EXPECT_EQ(cr.bottom, 301);
    GetWindowRect(form->Handle(), &wr);
    EXPECT_NEAR((wr.left + wr.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((wr.top + wr.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

    LONG_PTR st = GetWindowLongPtrW(form->Handle(), GWL_STYLE);
    LONG_PTR ex = GetWindowLongPtrW(form->Handle(), GWL_EXSTYLE);
    EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(ex & WS_EX_APPWINDOW);
    EXPECT_FALSE(st & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));

    EXPECT_EQ(LogicalFontHeight(b->Handle()), -13);   // follows the form
    EXPECT_EQ(LogicalFontHeight(lb->Handle()), -17);  // its own
    form->Font().SetHeight(15);
    EXPECT_EQ(LogicalFontHeight(b->Handle()), -15);
    EXPECT_EQ(LogicalFontHeight(lb->Handle()), -17);
}

namespace {
class LoadedProbe : public TComponent {
public:
    using TComponent::TComponent;
    void Loaded() override {
        TComponent::Loaded();
        loaded = true;
    }
    bool loaded = false;
};

class LayoutForm : public TForm {
public:
    explicit LayoutForm(TComponent* AOwner) : TForm(AOwner) {
        BeginLoading();
        probe = new LoadedProbe(this);
        OnCreate = MakeEvent<&LayoutForm::FormCreate>(this);
    }
    void FormCreate(TObject*) {
        probeLoadedAtCreate = probe->loaded;
        ++creates;
    }
    LoadedProbe* probe;
    bool probeLoadedAtCreate = false;
    int creates = 0;
};
}  // namespace

TEST(ControlsForm, OnCreateRunsOnceAfterTheLayoutIsLoaded) {
    std::unique_ptr<LayoutForm> f(CreateForm<LayoutForm>(nullptr));
    EXPECT_EQ(f->creates, 1);
    EXPECT_TRUE(f->probeLoadedAtCreate);
    EXPECT_FALSE(f->Loading());
    EXPECT_FALSE(f->HandleAllocated());  // no window until shown
}
