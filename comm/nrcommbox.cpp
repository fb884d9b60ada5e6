#include "nrcommbox.h"

namespace nr {

TnrDeviceBox::TnrDeviceBox(TComponent* AOwner) : fw::TCustomComboBox(AOwner) { SetStyle(fw::csDropDownList); }

TnrDeviceBox::~TnrDeviceBox() {
    Destroying();
    // No notification may reach a box that is gone.
    Unlink();
}

void TnrDeviceBox::Unlink() {
    if (!fComm) return;
    TnrBaseIO* old = fComm;
    fComm = nullptr;
    old->NotifyDelete(Listener());
    RemoveFreeNotification(old);
}

void TnrDeviceBox::SetnrComm(TnrBaseIO* Value) {
    Items().Clear();
    SetItemIndex(-1);
    if (Value != fComm) Unlink();
    if (!Value) return;
    // Registered before the list is read, so the link is whole even if
    // reading fails; registering again changes nothing.
    fComm = Value;
    Value->NotifyAdd(Listener());
    FreeNotification(Value);
    TStringList devices;
    Value->GetDeviceList(&devices);
    Items().Assign(devices);
    SetItemIndex(Value->DeviceIndex());
}

void TnrDeviceBox::Reload() { SetnrComm(fComm); }

void TnrDeviceBox::Notification(TComponent* AComponent, fw::TOperation Operation) {
    fw::TCustomComboBox::Notification(AComponent, Operation);
    if (Operation != fw::opRemove || !AComponent || AComponent != fComm) return;
    fComm = nullptr;
    SetItemIndex(-1);
    // The texts stay on show; the device objects go with their component.
    for (int i = 0; i < Items().Count(); ++i) Items().SetObjects(i, nullptr);
}

void TnrDeviceBox::WMDeviceChange(fw::TMessage& Msg) {
    if (fComm) fComm->WMDeviceChange(Msg);
}

void TnrDeviceBox::DeviceNotify(TObject* Sender, std::int32_t Code) {
    // Only the component the box is linked to is listened to.
    if (Code == ncDevicesChanged && fComm && Sender == fComm) Reload();
}

void TnrDeviceBox::Change() {
    if (!fComm) return;
    fComm->SetDeviceIndex(ItemIndex());
    fw::TCustomComboBox::Change();
}

void TnrDeviceBox::WndProc(fw::TMessage& m) {
    if (m.Msg == WM_DEVICECHANGE) {
        WMDeviceChange(m);
        m.Result = TRUE;
        return;
    }
    fw::TCustomComboBox::WndProc(m);
}

std::vector<fw::TPropInfo> TnrDeviceBox::PublishedProperties() const {
    using B = TnrDeviceBox;
    std::vector<fw::TPropInfo> props{{.Name = L"nrComm",
                                      .GetObj = [](TObject* o) -> TObject* { return static_cast<B*>(o)->nrComm(); },
                                      .SetObj =
                                          [](TObject* o, TObject* v) {
                                              auto* io = dynamic_cast<TnrBaseIO*>(v);
                                              if (v && !io) return false;
                                              static_cast<B*>(o)->SetnrComm(io);
                                              return true;
                                          }},
                                     fw::OrdPropInfo<B, &B::ResetOnChanged, &B::SetResetOnChanged>(L"ResetOnChanged")};
    auto combo = fw::SelectProps(
        PublishableProperties(),
        {L"Color",      L"DropDownCount", L"Enabled", L"Font",      L"ParentColor", L"ParentFont", L"ParentShowHint",
         L"ShowHint",   L"TabOrder",      L"TabStop", L"Text",      L"Visible",     L"OnChange",   L"OnClick",
         L"OnDblClick", L"OnEnter",       L"OnExit",  L"OnKeyDown", L"OnKeyPress",  L"OnKeyUp",    L"OnDropDown"});
    props.insert(props.end(), combo.begin(), combo.end());
    return props;
}

}  // namespace nr
