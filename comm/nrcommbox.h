// A drop-down list of the devices of an I/O component; the user's pick
// becomes the component's device.
#pragma once

#include "../framework/controls.h"
#include "nrclasses.h"

namespace nr {

class TnrDeviceBox : public fw::TCustomComboBox {
public:
    explicit TnrDeviceBox(TComponent* AOwner);
    ~TnrDeviceBox() override;

    // The linked component (not owned). Linking fills the entries from its
    // device list, selects its current device and listens to it; the box
    // stops listening to a component it leaves.
    TnrBaseIO* nrComm() const { return fComm; }
    void SetnrComm(TnrBaseIO* Value);
    // Stored for the layout; nothing consults it.
    bool ResetOnChanged() const { return fReset; }
    void SetResetOnChanged(bool Value) { fReset = Value; }

    // Rebuilds the entries and the selection from the linked component.
    void Reload();
    void Notification(TComponent* AComponent, fw::TOperation Operation) override;
    // Hands WM_DEVICECHANGE on to the linked component.
    virtual void WMDeviceChange(fw::TMessage& Msg);
    // The box's listener: code 3 (device list or device changed) reloads.
    void DeviceNotify(TObject* Sender, std::int32_t Code);

    std::vector<fw::TPropInfo> PublishedProperties() const override;
    void WndProc(fw::TMessage& Message) override;

protected:
    void Change() override;

private:
    TnrNotifyEvent Listener() { return TnrNotifyEvent::Bind<&TnrDeviceBox::DeviceNotify>(this); }
    void Unlink();

    TnrBaseIO* fComm = nullptr;
    bool fReset = false;
};

}  // namespace nr
