// Tests of comm/nrcommbox.cpp.
// The device selector box against a component with a scripted device list,
// through real window messages.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "comm/nrcommbox.h"

#include <dbt.h>

using namespace nr;

namespace {

// Lists scripted ports and selects by port number, as the COM port component
// does: a DeviceIndex write selects that device's port and tells listeners.
class TScriptedIO : public TnrBaseIO {
public:
    explicit TScriptedIO(TComponent* owner) : TnrBaseIO(owner) {}

    std::vector<std::pair<int, std::wstring>> Script;
    int Port = 1;
    int ListReads = 0;
    int Updates = 0;

    void DeviceListLoad() override {
        for (auto& [port, name] : Script) {
            auto* d = new TnrDevice;
            d->Data = port;
            d->NameFriendly = name;
            if (AddDeviceSorted(d) < 0) delete d;
        }
    }
    std::int32_t GetDeviceIndex() override { return IndexOfDeviceData(Port); }
    void SetDeviceIndex(std::int32_t v) override {
        if (TnrDevice* d = GetDevice(v)) Port = d->Data;
        DoNotify(ncDevicesChanged);
    }
    void Update() override {
        ++Updates;
        ReloadQuietly();
        DoNotify(ncDevicesChanged);
    }
    // The list changes without anyone being told.
    void ReloadQuietly() {
        ClearDeviceList();
        DeviceListLoad();
    }
    void GetDeviceList(TStringList* L) override {
        ++ListReads;
        TnrBaseIO::GetDeviceList(L);
    }
    void SendChar(wchar_t) override {}
    void SendString(const std::string&) override {}
    void SendData(const void*, std::uint32_t) override {}
    void ClearDeviceInput() override {}
    void ClearDeviceOutput() override {}
    void ClearDeviceBuffers() override {}
};

class Counter {
public:
    void Hit(TObject*) { ++count; }
    int count = 0;
};

std::vector<std::wstring> Shown(HWND combo) {
    std::vector<std::wstring> r;
    int n = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        wchar_t buf[256] = {};
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
        r.push_back(buf);
    }
    return r;
}

using Names = std::vector<std::wstring>;

class DeviceBoxTest : public testing::Test {
protected:
    void SetUp() override {
        form = new fw::TForm(nullptr);
        comm = new TScriptedIO(form);
        comm->Script = {{3, L"COM3 (USB Serial Port)"}, {1, L"COM1"}, {7, L"COM7"}};
        box = new TnrDeviceBox(form);
        box->SetParent(form);
        box->SetBounds(8, 166, 310, 24);
        box->OnChange = fw::TNotifyEvent::Bind<&Counter::Hit>(&changes);
        form->Show();
        fw::Application->ProcessMessages();
    }
    void TearDown() override {
        delete form;
        fw::Application->ProcessMessages();
    }
    // The user moves the selection with the keyboard.
    void UserPicksNext() {
        SendMessageW(box->Handle(), WM_KEYDOWN, VK_DOWN, 0);
        fw::Application->ProcessMessages();
    }

    fw::TForm* form = nullptr;
    TScriptedIO* comm = nullptr;
    TnrDeviceBox* box = nullptr;
    Counter changes;
};

}  // namespace

TEST_F(DeviceBoxTest, EntriesMirrorTheListAndTheSelectionFollowsDeviceIndex) {
    EXPECT_EQ(box->Style(), fw::csDropDownList);
    EXPECT_EQ(box->Items().Count(), 0);  // unlinked

    comm->Port = 3;
    box->SetnrComm(comm);  // the empty list is loaded first
    EXPECT_EQ(box->nrComm(), comm);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM1", L"COM3 (USB Serial Port)", L"COM7"}));
    EXPECT_EQ(box->ItemIndex(), 1);
    EXPECT_EQ(static_cast<TnrDevice*>(box->Items().Objects(1))->Data, 3);

    // Selecting from code changes only the box.
    box->SetItemIndex(0);
    EXPECT_EQ(comm->Port, 3);
    EXPECT_EQ(changes.count, 0);

    // A rebuilt list reaches the box; its current port is not in it any more.
    comm->Script = {{4, L"COM4"}, {2, L"COM2 (usb)"}};
    comm->Update();
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM2 (usb)", L"COM4"}));
    EXPECT_EQ(box->ItemIndex(), -1);

    comm->Port = 4;
    comm->DoNotify(ncDevicesChanged);
    EXPECT_EQ(box->ItemIndex(), 1);
    EXPECT_EQ(changes.count, 0);
}

TEST_F(DeviceBoxTest, UserPickWritesDeviceIndexAndRaisesOnChangeOnce) {
    comm->Port = 1;
    box->SetnrComm(comm);
    ASSERT_EQ(box->ItemIndex(), 0);

    UserPicksNext();
    EXPECT_EQ(comm->Port, 3);
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(box->ItemIndex(), 1);  // reloaded, and still showing the pick
    EXPECT_EQ(box->Items().Count(), 3);

    UserPicksNext();
    EXPECT_EQ(comm->Port, 7);
    EXPECT_EQ(changes.count, 2);
}

TEST_F(DeviceBoxTest, OnlyCodeThreeReloads) {
    comm->Port = 7;
    box->SetnrComm(comm);
    comm->Script = {{9, L"COM9"}};
    comm->Port = 9;
    comm->ReloadQuietly();
    int reads = comm->ListReads;

    comm->DoNotify(ncMediumClosed);
    comm->DoNotify(ncMediumOpened);
    EXPECT_EQ(comm->ListReads, reads);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM1", L"COM3 (USB Serial Port)", L"COM7"}));
    EXPECT_EQ(box->ItemIndex(), 2);

    comm->DoNotify(ncDevicesChanged);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM9"}));
    EXPECT_EQ(box->ItemIndex(), 0);
}

TEST_F(DeviceBoxTest, LinkingTwiceOrReloadingRegistersOnce) {
    box->SetnrComm(comm);
    box->SetnrComm(comm);
    box->Reload();
    int reads = comm->ListReads;
    comm->DoNotify(ncDevicesChanged);
    EXPECT_EQ(comm->ListReads, reads + 1);
}

TEST_F(DeviceBoxTest, LinkingElsewhereOrUnlinkingLeavesTheFormerComponent) {
    auto* other = new TScriptedIO(form);
    other->Script = {{5, L"COM5"}};
    other->Port = 5;
    box->SetnrComm(comm);
    box->SetnrComm(other);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM5"}));

    int reads = comm->ListReads;
    comm->DoNotify(ncDevicesChanged);
    EXPECT_EQ(comm->ListReads, reads);  // not listening to it any more
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM5"}));

    box->SetnrComm(nullptr);
    EXPECT_EQ(box->Items().Count(), 0);
    reads = other->ListReads;
    other->DoNotify(ncDevicesChanged);
    EXPECT_EQ(other->ListReads, reads);
    delete other;  // the unlinked box is not told, and does not mind
    EXPECT_EQ(box->nrComm(), nullptr);
}

TEST_F(DeviceBoxTest, DestroyedComponentLeavesTheEntriesAndNoSelection) {
    comm->Port = 3;
    box->SetnrComm(comm);
    delete comm;
    comm = nullptr;

    EXPECT_EQ(box->nrComm(), nullptr);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM1", L"COM3 (USB Serial Port)", L"COM7"}));
    EXPECT_EQ(box->ItemIndex(), -1);
    for (int i = 0; i < box->Items().Count(); ++i) EXPECT_EQ(box->Items().Objects(i), nullptr);

    UserPicksNext();  // picks now do nothing
    UserPicksNext();
    EXPECT_EQ(changes.count, 0);

    fw::TMessage m{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
    box->WMDeviceChange(m);
    EXPECT_EQ(box->Items().Count(), 3);
}

TEST_F(DeviceBoxTest, DestroyedBoxReceivesNothing) {
    box->SetnrComm(comm);
    delete box;
    box = nullptr;
    int reads = comm->ListReads;
    comm->DoNotify(ncDevicesChanged);
    comm->Update();
    EXPECT_EQ(comm->ListReads, reads);

    // Also when the box goes with its window's form and the component stays.
    auto* keeper = new fw::TComponent(nullptr);
    auto* survivor = new TScriptedIO(keeper);
    survivor->Script = {{2, L"COM2"}};
    auto* f = new fw::TForm(nullptr);
    auto* b = new TnrDeviceBox(f);
    b->SetParent(f);
    b->SetnrComm(survivor);
    delete f;
    reads = survivor->ListReads;
    survivor->DoNotify(ncDevicesChanged);
    EXPECT_EQ(survivor->ListReads, reads);
    delete keeper;
}

TEST_F(DeviceBoxTest, DeviceChangeMessageReachesTheLinkedComponent) {
    box->SetnrComm(comm);
    comm->Script = {{8, L"COM8 (USB)"}};

    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof(volume);
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    SendMessageW(box->Handle(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
    EXPECT_EQ(comm->Updates, 0);

    SendMessageW(box->Handle(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(comm->Updates, 1);
    EXPECT_EQ(Shown(box->Handle()), (Names{L"COM8 (USB)"}));
}

// What a layout or a monitor binding sets by name must reach the window.
TEST_F(DeviceBoxTest, PublishedPropertiesAreFoundByNameAndReachTheWindow) {
    const Names published{L"nrComm",     L"ResetOnChanged", L"Color",      L"DropDownCount",  L"Enabled",
                          L"Font",       L"ParentColor",    L"ParentFont", L"ParentShowHint", L"ShowHint",
                          L"TabOrder",   L"TabStop",        L"Text",       L"Visible",        L"OnChange",
                          L"OnClick",    L"OnDblClick",     L"OnEnter",    L"OnExit",         L"OnKeyDown",
                          L"OnKeyPress", L"OnKeyUp",        L"OnDropDown"};
    Names found;
    for (const fw::TPropInfo& p : box->PublishedProperties()) {
        found.emplace_back(p.Name);
        bool whole =
            (p.GetOrd && p.SetOrd) || (p.GetStr && p.SetStr) || (p.GetObj && p.SetObj) || (p.Event && p.EventType);
        EXPECT_TRUE(whole) << std::wstring(p.Name);
    }
    EXPECT_EQ(found, published);

    EXPECT_FALSE(fw::SetObjectProp(box, L"nrComm", form));  // not an I/O component
    ASSERT_TRUE(fw::SetObjectProp(box, L"nrComm", comm));
    EXPECT_EQ(box->Items().Count(), 3);
    ASSERT_TRUE(fw::SetStrProp(box, L"Text", L"com1"));
    EXPECT_EQ(box->ItemIndex(), 0);

    HWND h = box->Handle();
    COMBOBOXINFO parts{};
    parts.cbSize = sizeof(parts);
    GetComboBoxInfo(h, &parts);
    auto answer = [](HWND to, UINT question, HWND from) {
        HDC dc = GetDC(from);
        LOGBRUSH lb{};
        GetObjectW(reinterpret_cast<HBRUSH>(
                       SendMessageW(to, question, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(from))),
                   sizeof(lb), &lb);
        ReleaseDC(from, dc);
        return lb.lbColor;
    };
    ASSERT_TRUE(fw::SetOrdProp(box, L"Color", RGB(0, 128, 255)));
    EXPECT_EQ(answer(form->Handle(), WM_CTLCOLOREDIT, h), RGB(0, 128, 255));  // the selection field
    EXPECT_EQ(answer(h, WM_CTLCOLORLISTBOX, parts.hwndList), RGB(0, 128, 255));

    fw::TFont big;
    big.SetHeight(20);
    ASSERT_TRUE(fw::SetObjectProp(box, L"Font", &big));
    LOGFONTW lf{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
    EXPECT_EQ(lf.lfHeight, -20);

    RECT longer, shorter;
    SendMessageW(h, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&longer));
    ASSERT_TRUE(fw::SetOrdProp(box, L"DropDownCount", 2));
    SendMessageW(h, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&shorter));
    EXPECT_LT(shorter.bottom - shorter.top, longer.bottom - longer.top);

    int drops = 0, enters = 0;
    WORD key = 0;
    EXPECT_EQ(fw::EventProp<fw::TNotifyEvent>(box, L"OnKeyDown"), nullptr);  // not of that type
    *fw::EventProp<fw::TNotifyEvent>(box, L"OnDropDown") = [&](TObject*) { ++drops; };
    *fw::EventProp<fw::TNotifyEvent>(box, L"OnEnter") = [&](TObject*) { ++enters; };
    *fw::EventProp<fw::TKeyEvent>(box, L"OnKeyDown") = [&](TObject*, WORD& k, fw::TShiftState) {
        key = std::exchange(k, 0);
    };
    SendMessageW(h, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageW(h, CB_SHOWDROPDOWN, FALSE, 0);
    EXPECT_EQ(drops, 1);
    SetFocus(nullptr);
    box->SetFocus();
    EXPECT_EQ(enters, 1);
    UserPicksNext();
    EXPECT_EQ(key, VK_DOWN);
    EXPECT_EQ(box->ItemIndex(), 0);  // the handler took the key
    EXPECT_EQ(changes.count, 0);

    box->SetHint(L"The module's port");
    ASSERT_TRUE(fw::SetOrdProp(box, L"ShowHint", 1));
    HWND tip = nullptr;  // this thread's tooltip
    do tip = FindWindowExW(nullptr, tip, TOOLTIPS_CLASSW, nullptr);
    while (tip && GetWindowThreadProcessId(tip, nullptr) != GetCurrentThreadId());
    wchar_t text[64] = {};
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof(ti);
    ti.hwnd = h;
    ti.uId = reinterpret_cast<UINT_PTR>(h);
    ti.lpszText = text;
    SendMessageW(tip, TTM_GETTEXTW, 64, reinterpret_cast<LPARAM>(&ti));
    EXPECT_STREQ(text, L"The module's port");
}
