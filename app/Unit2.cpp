#include "Unit2.h"

#include <algorithm>

#include "frames.h"

TForm2* Form2 = nullptr;

const wchar_t* const LogoResources[7] = {L"LOGO_DAF",    L"LOGO_MAN",     L"LOGO_IVECO", L"LOGO_MERCEDES",
                                         L"LOGO_SCANIA", L"LOGO_RENAULT", L"LOGO_VOLVO"};

std::wstring Form2Caption() { return L" KORVANTE v5 - " + std::wstring(16, L'\u00FF'); }

namespace {

template <class C> C* Place(C* c, fw::TWinControl* parent, int left, int top, int width, int height) {
    c->SetParent(parent);
    c->SetBounds(left, top, width, height);
    return c;
}

void UseFont(fw::TControl* c, int height) {
    c->Font().SetName(L"Tahoma");
    c->Font().SetHeight(height);
}

}  // namespace

TForm2::TForm2(fw::TComponent* AOwner) : fw::TForm(AOwner) {
    // The layout: every member with its settings, built in the loading state;
    // loading ends (Loaded) before FormCreate runs.
    BeginLoading();
    SetName(L"Form2");
    SetCaption(Form2Caption());
    SetClientWidth(477);
    SetClientHeight(301);
    SetPosition(fw::poDesktopCenter);
    UseFont(this, 13);
    OnCreate = fw::MakeEvent<&TForm2::FormCreate>(this);

    ImageList1 = new fw::TImageList(this);
    ImageList1->SetName(L"ImageList1");
    ImageList1->SetWidth(150);
    ImageList1->SetHeight(150);
    for (const wchar_t* res : LogoResources) {
        auto bmp =
            static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), res, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        if (bmp) {
            ImageList1->Add(bmp);
            DeleteObject(bmp);
        }
    }

    Image1 = Place(new fw::TImage(this), this, 167, 9, 150, 150);
    Image1->SetName(L"Image1");
    Image1->SetAutoSize(true);
    Image1->SetCenter(true);
    Image1->SetProportional(true);
    Image1->SetStretch(true);

    ListBox1 = Place(new fw::TListBox(this), this, 8, 8, 152, 152);
    ListBox1->SetName(L"ListBox1");
    UseFont(ListBox1, 17);
    ListBox1->SetItemHeight(21);
    for (const auto& make : truck::Makes) ListBox1->Items().Add(make.Name);
    ListBox1->SetTabOrder(0);
    ListBox1->OnClick = fw::MakeEvent<&TForm2::ListBox1Click>(this);

    Button1 = Place(new fw::TButton(this), this, 324, 134, 145, 25);
    Button1->SetName(L"Button1");
    Button1->SetCaption(L"START");
    Button1->SetTabOrder(1);
    Button1->OnClick = fw::MakeEvent<&TForm2::Button1Click>(this);

    Shape1 = Place(new fw::TShape(this), this, 166, 8, 152, 152);
    Shape1->SetName(L"Shape1");

    Button2 = Place(new fw::TButton(this), this, 324, 8, 145, 25);
    Button2->SetName(L"Button2");
    Button2->SetCaption(L"Exit");
    Button2->SetTabOrder(2);
    Button2->OnClick = fw::MakeEvent<&TForm2::Button2Click>(this);

    Log = Place(new fw::TMemo(this), this, 8, 196, 461, 96);
    Log->SetName(L"Log");
    UseFont(Log, 11);
    Log->SetTabOrder(3);

    nrComm1 = new nr::TnrComm(this);
    nrComm1->SetName(L"nrComm1");
    nrComm1->SetActive(false);
    nrComm1->SetBaudRate(57600);
    nrComm1->SetParity(nr::pNone);
    nrComm1->SetStopBits(nr::sbOne);
    nrComm1->SetByteSize(8);
    nrComm1->SetComPortNo(1);
    nrComm1->SetTraceStates({});
    nrComm1->SetEventChar(L'\0');
    nrComm1->SetStreamProtocol(nr::spNone);
    nrComm1->SetBufferInSize(8192);
    nrComm1->SetBufferOutSize(8192);
    nrComm1->SetTimeoutRead(200);
    nrComm1->SetTimeoutWrite(100);
    nrComm1->SetRS485Mode(false);
    nrComm1->SetEnumPorts(nr::epFullPresent);
    nrComm1->SetUseMainThread(true);
    nrComm1->OnAfterReceive = fw::MakeEvent<&TForm2::nrComm1AfterReceive>(this);
    nrComm1->OnCommError = fw::MakeEvent<&TForm2::nrComm1CommError>(this);
    nrComm1->OnFatalError = fw::MakeEvent<&TForm2::nrComm1FatalError>(this);

    Button3 = Place(new fw::TButton(this), this, 324, 165, 145, 25);
    Button3->SetName(L"Button3");
    Button3->SetCaption(L"Clear Log");
    Button3->SetTabOrder(4);
    Button3->OnClick = fw::MakeEvent<&TForm2::Button3Click>(this);

    nrDeviceBox1 = Place(new nr::TnrDeviceBox(this), this, 8, 166, 310, 24);
    nrDeviceBox1->SetName(L"nrDeviceBox1");
    nrDeviceBox1->SetnrComm(nrComm1);
    nrDeviceBox1->SetResetOnChanged(false);
    nrDeviceBox1->SetTabOrder(5);

    Timer1 = new fw::TTimer(this);
    Timer1->SetName(L"Timer1");
    Timer1->SetInterval(5000);
    Timer1->SetEnabled(false);
    Timer1->OnTimer = fw::MakeEvent<&TForm2::Timer1Timer>(this);
}

void TForm2::FormCreate(fw::TObject*) {
    nrComm1->Update();
    ListBox1->SetItemIndex(0);
    ListBox1Click(this);
    // Pre-select the first port whose name mentions USB.
    for (int i = 0; i < nrDeviceBox1->Items().Count(); ++i) {
        if (fw::AnsiUpperAscii(nrDeviceBox1->Items().Strings(i)).find(L"USB") != std::wstring::npos) {
            nrDeviceBox1->SetItemIndex(i);
            nrComm1->SetDeviceIndex(i);
            break;
        }
        if (nrDeviceBox1->ItemIndex() < 0) nrDeviceBox1->SetItemIndex(0);
    }
}

void TForm2::ListBox1Click(fw::TObject*) {
    ImageList1->GetBitmap(ListBox1->ItemIndex(), Image1);
    Image1->Repaint();
}

void TForm2::Button1Click(fw::TObject*) {
    if (nrComm1->DeviceCount() <= 0) {
        add_log(L"Error: No com ports!");
        return;
    }
    send_truck();
    Timer1->SetEnabled(true);
    SetEnabled(false);
}

void TForm2::send_truck() {
    fw::Screen->SetCursor(fw::crHourGlass);
    const int make = std::max(0, ListBox1->ItemIndex());
    add_log(L"Sending Truck Data: " + ListBox1->Items().Strings(make) + L"...");
    nrComm1->SetActive(true);
    for (std::uint8_t b : truck::RequestFrame(static_cast<std::size_t>(make)))
        nrComm1->SendChar(static_cast<wchar_t>(b));
}

void TForm2::send_confirm() {
    add_log(L"Sending Start...$AA,$55,$00");
    for (std::uint8_t b : truck::StartFrame) nrComm1->SendChar(static_cast<wchar_t>(b));
}

void TForm2::EndWait() {
    SetEnabled(true);
    fw::Screen->SetCursor(fw::crDefault);
}

void TForm2::nrComm1AfterReceive(fw::TObject*, void* Buffer, std::uint32_t Received) {
    Timer1->SetEnabled(false);
    if (truck::IsAck(Buffer, Received)) {
        add_log({L"Truck OK ACK Received! ", L"Programming successfull! "});
    } else {
        add_log(L"Error: Wrong ACK Received!");
    }
    EndWait();
}

void TForm2::Timer1Timer(fw::TObject*) {
    Timer1->SetEnabled(false);
    EndWait();
    add_log(L"Error: Timeout!");
}

void TForm2::nrComm1CommError(fw::TObject*, std::uint32_t, std::uint32_t, nr::TComStateFlags, bool& flFlashBuffers) {
    add_log(L"Error: Communication problem!");
    Timer1->SetEnabled(false);
    EndWait();
    flFlashBuffers = true;
}

void TForm2::nrComm1FatalError(fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& ErrorMsg,
                               bool& RaiseException) {
    add_log(L"Fatal Error: " + ErrorMsg);
    SetEnabled(true);
    Timer1->SetEnabled(false);
    fw::Screen->SetCursor(fw::crDefault);
    RaiseException = false;
}

void TForm2::add_log(const std::wstring& l) { Log->Lines().Add(l); }

void TForm2::add_log(std::initializer_list<std::wstring> l) { Log->Lines().Add(l); }

void TForm2::Button2Click(fw::TObject*) { Close(); }

void TForm2::Button3Click(fw::TObject*) { Log->Lines().Clear(); }
