// Pictures, image, shape, image list and timer.
#include <windows.h>
#include <commctrl.h>

#include "controls.h"

namespace fw {

namespace {

// A 24-bit top-down DIB section of w x h.
HBITMAP CreateBitmap24(int w, int h) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    return CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
}

SIZE BitmapSize(HBITMAP bmp) {
    BITMAP bm{};
    if (!bmp || !GetObjectW(bmp, sizeof(bm), &bm)) return SIZE{0, 0};
    return SIZE{bm.bmWidth, bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight};
}

// Memory DC with a bitmap selected, released in reverse.
class TBitmapDC {
public:
    explicit TBitmapDC(HBITMAP bmp) : dc_(CreateCompatibleDC(nullptr)), old_(SelectObject(dc_, bmp)) {}
    ~TBitmapDC() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
    }
    TBitmapDC(const TBitmapDC&) = delete;
    TBitmapDC& operator=(const TBitmapDC&) = delete;
    HDC dc() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ old_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TPicture

TPicture::~TPicture() {
    if (bitmap_) DeleteObject(bitmap_);
}

void TPicture::SetBitmap(HBITMAP src) {
    HBITMAP copy = src ? static_cast<HBITMAP>(CopyImage(src, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)) : nullptr;
    if (src && !copy) throw EOSError(L"Cannot copy the bitmap", GetLastError());
    AdoptBitmap(copy);
}

void TPicture::AdoptBitmap(HBITMAP bmp) {
    if (bmp == bitmap_) return;
    HBITMAP old = bitmap_;
    bitmap_ = bmp;
    SIZE s = BitmapSize(bmp);
    width_ = s.cx;
    height_ = s.cy;
    if (old) DeleteObject(old);
    if (OnChange) OnChange();
}

// ---------------------------------------------------------------------------
// TImage

TImage::TImage(TComponent* AOwner) : TGraphicControl(AOwner) {
    width_ = 105;
    height_ = 105;
    picture_.OnChange = [this] { PictureChanged(); };
}

void TImage::PictureChanged() {
    if (autoSize_ && !picture_.Empty()) SetBounds(left_, top_, picture_.Width(), picture_.Height());
    Invalidate();
}

void TImage::SetStretch(bool v) {
    stretch_ = v;
    Invalidate();
}

void TImage::SetCenter(bool v) {
    center_ = v;
    Invalidate();
}

void TImage::SetProportional(bool v) {
    proportional_ = v;
    Invalidate();
}

void TImage::SetAutoSize(bool v) {
    autoSize_ = v;
    if (v) PictureChanged();
}

RECT TImage::DestRect() const {
    const int pw = picture_.Width(), ph = picture_.Height(), cw = width_, ch = height_;
    int w = pw, h = ph;
    // Proportional alone only shrinks a picture that does not fit.
    if (stretch_ || (proportional_ && (pw > cw || ph > ch))) {
        if (proportional_ && pw > 0 && ph > 0) {
            if (static_cast<long long>(cw) * ph <= static_cast<long long>(ch) * pw) {
                w = cw;
                h = static_cast<int>(static_cast<long long>(cw) * ph / pw);
            } else {
                h = ch;
                w = static_cast<int>(static_cast<long long>(ch) * pw / ph);
            }
        } else {
            w = cw;
            h = ch;
        }
    }
    int x = center_ ? (cw - w) / 2 : 0;
    int y = center_ ? (ch - h) / 2 : 0;
    return RECT{x, y, x + w, y + h};
}

void TImage::Paint(HDC dc) {
    if (picture_.Empty()) return;
    RECT r = DestRect();
    TBitmapDC src(picture_.Bitmap());
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w == picture_.Width() && h == picture_.Height()) {
        BitBlt(dc, r.left, r.top, w, h, src.dc(), 0, 0, SRCCOPY);
    } else {
        int oldMode = SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, r.left, r.top, w, h, src.dc(), 0, 0, picture_.Width(), picture_.Height(), SRCCOPY);
        SetStretchBltMode(dc, oldMode);
    }
}

// ---------------------------------------------------------------------------
// TShape

TShape::TShape(TComponent* AOwner) : TGraphicControl(AOwner) {
    width_ = 65;
    height_ = 65;
}

void TShape::SetParent(TWinControl* AParent) {
    TGraphicControl::SetParent(AParent);
    SendToBack();
}

void TShape::Paint(HDC dc) {
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    Rectangle(dc, 0, 0, width_, height_);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
}

// ---------------------------------------------------------------------------
// TImageList

TImageList::TImageList(TComponent* AOwner) : TComponent(AOwner) { Recreate(); }

TImageList::~TImageList() {
    Destroying();
    if (list_) ImageList_Destroy(list_);
}

void TImageList::Recreate() {
    if (list_) ImageList_Destroy(list_);
    list_ = ImageList_Create(width_, height_, ILC_COLOR24, 4, 4);
    if (!list_) throw EOSError(L"Cannot create an image list", GetLastError());
}

void TImageList::SetWidth(int v) {
    if (v == width_ || v <= 0) return;
    width_ = v;
    Recreate();
}

void TImageList::SetHeight(int v) {
    if (v == height_ || v <= 0) return;
    height_ = v;
    Recreate();
}

int TImageList::Count() const { return list_ ? ImageList_GetImageCount(list_) : 0; }

void TImageList::Clear() { ImageList_RemoveAll(list_); }

int TImageList::Add(HBITMAP bmp) {
    SIZE s = BitmapSize(bmp);
    if (s.cx <= 0 || s.cy <= 0) return -1;
    if (s.cx == width_ && s.cy == height_) return ImageList_Add(list_, bmp, nullptr);
    // One picture per call, whatever its size: scale it to the list's.
    HBITMAP scaled = CreateBitmap24(width_, height_);
    if (!scaled) return -1;
    {
        TBitmapDC dst(scaled), src(bmp);
        SetStretchBltMode(dst.dc(), HALFTONE);
        SetBrushOrgEx(dst.dc(), 0, 0, nullptr);
        StretchBlt(dst.dc(), 0, 0, width_, height_, src.dc(), 0, 0, s.cx, s.cy, SRCCOPY);
    }
    int i = ImageList_Add(list_, scaled, nullptr);
    DeleteObject(scaled);
    return i;
}

bool TImageList::GetBitmap(int i, TImage* image) const {
    if (!image || i < 0 || i >= Count()) return false;
    HBITMAP bmp = CreateBitmap24(width_, height_);
    if (!bmp) throw EOSError(L"Cannot create a bitmap", GetLastError());
    {
        TBitmapDC dst(bmp);
        PatBlt(dst.dc(), 0, 0, width_, height_, WHITENESS);
        ImageList_Draw(list_, i, dst.dc(), 0, 0, ILD_NORMAL);
    }
    image->Picture().AdoptBitmap(bmp);
    return true;
}

// ---------------------------------------------------------------------------
// TTimer

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
    wnd_ = AllocateHWnd(TWndMethod::Bind<&TTimer::TimerWndProc>(this));
    UpdateTimer();
}

TTimer::~TTimer() {
    Destroying();
    KillTimer(wnd_, 1);
    DeallocateHWnd(wnd_);
}

void TTimer::SetEnabled(bool v) {
    if (v == enabled_) return;
    enabled_ = v;
    UpdateTimer();
}

void TTimer::SetInterval(unsigned v) {
    if (v == interval_) return;
    interval_ = v;
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    KillTimer(wnd_, 1);  // also drops a tick already queued
    if (enabled_ && interval_ > 0 && !SetTimer(wnd_, 1, interval_, nullptr))
        throw EOSError(L"Not enough timers available", GetLastError());
}

void TTimer::TimerWndProc(TMessage& m) {
    if (m.Msg == WM_TIMER) {
        if (OnTimer) OnTimer(this);
        return;
    }
    m.Result = DefWindowProcW(wnd_, m.Msg, m.WParam, m.LParam);
}

}  // namespace fw
