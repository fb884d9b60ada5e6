// The COM port component: port identity, the list of the machine's ports
// merged from the serial-port map and Plug-and-Play, external handles.
#include <windows.h>

#include <memory>
#include <type_traits>

// The device class and interface GUIDs are defined here, once: initguid.h
// goes first.
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <ntddmodm.h>
#include <winioctl.h>
// clang-format on

#include "nrcomm.h"
#include "nrsysutils.h"
#include "nrwin32di.h"

namespace nr {

namespace {

// The device collections asked in the full modes, in this order: what is
// found first wins when two report the same port.
struct TCollection {
    GUID Guid;
    bool ByDevice;  // false: the device interfaces of the GUID
};

const TCollection kCollections[] = {
    {GUID_DEVINTERFACE_MODEM, false},
    {GUID_DEVINTERFACE_COMPORT, false},
    {GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, false},
    {GUID_DEVCLASS_PORTS, true},
    {GUID_DEVCLASS_INFRARED, true},
    {GUID_DEVCLASS_ADAPTER, true},
    {GUID_DEVCLASS_BLUETOOTH, true},
    {GUID_DEVCLASS_MODEM, true},
    {GUID_DEVCLASS_MULTIFUNCTION, true},
    {GUID_DEVCLASS_MULTIPORTSERIAL, true},
    {GUID_DEVCLASS_LEGACYDRIVER, true},
};

// A registry port name may carry NUL characters past its end.
std::wstring UpToNul(const std::wstring& s) { return s.substr(0, s.find(L'\0')); }

TnrDevice* EntryDevice(const fw::TStringList& l, int i) { return static_cast<TnrDevice*>(l.Objects(i)); }

// The Plug-and-Play data a port takes over from its entry.
void TakeFrom(TnrDevice& d, const TnrDevice& E) {
    d.Service = E.Service;
    d.Description = E.Description;
    if (!d.Description.empty()) d.NameFriendly += L" (" + d.Description + L")";
    d.Driver = E.Driver;
    d.Manufacturer = E.Manufacturer;
    d.PortName = E.PortName;
    d.RegKey = E.RegKey;
}

// The first entry describing the port: by its registry port name or by a
// "(COMn)" in its description.
int FindEntry(const fw::TStringList& pnp, const std::wstring& Port) {
    const std::wstring tag = L"(" + Port + L")";
    for (int i = 0; i < pnp.Count(); ++i) {
        const TnrDevice* E = EntryDevice(pnp, i);
        if (fw::SameTextAscii(UpToNul(E->PortName), Port) || E->Description.find(tag) != std::wstring::npos) return i;
    }
    return -1;
}

}  // namespace

TnrCustomSerialComm::TnrCustomSerialComm(TComponent* AOwner) : TnrCustomComm(AOwner) {
    sLogPrefix = L"nrComm: ";
    // The system's defaults for a port when it has them; the engine's otherwise.
    Win32.GetDefaultCommConfigW(L"COM1", &CommCfg, &CommCfg.dwSize);
    // A provider with private data reports a larger record it did not write.
    CommCfg.dwSize = sizeof(CommCfg);
    SetComPort(cpCOM1);
    SetBaudRate(19200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spHardware);
    SetEventChar(0);
}

HANDLE TnrCustomSerialComm::OpenHandle() {
    HANDLE h = fExtHandle ? fExtHandle : OpenComPort(fComPortNo);
    fExtHandle = nullptr;
    return h;
}

void TnrCustomSerialComm::SetExtHandle(HANDLE aHandle) {
    if (!aHandle || aHandle == INVALID_HANDLE_VALUE) return;
    if (Active()) Close();
    fExtHandle = aHandle;
    Open();
}

std::wstring TnrCustomSerialComm::QueryComName() { return ComPortName(fComPortNo); }

void TnrCustomSerialComm::SetComPortNo(std::uint16_t Value) {
    const bool was = Active();
    SetActive(false);
    fComPortNo = Value;
    SetActive(was);
    DoNotify(ncDevicesChanged);
}

TComPort TnrCustomSerialComm::ComPort() const {
    if (fComPortNo >= 1 && fComPortNo <= 8) return static_cast<TComPort>(fComPortNo - 1);
    return cpCOMxx;
}

void TnrCustomSerialComm::SetComPort(TComPort Value) {
    if (Value == cpCOMxx) return;
    SetComPortNo(static_cast<std::uint16_t>(Value + 1));
}

std::int32_t TnrCustomSerialComm::GetDeviceIndex() { return IndexOfDeviceData(fComPortNo); }

void TnrCustomSerialComm::SetDeviceIndex(std::int32_t Value) {
    if (Value < 0 || Value >= DeviceCount()) return;
    SetComPortNo(static_cast<std::uint16_t>(GetDevice(Value)->Data & 0xFFFF));
}

void TnrCustomSerialComm::Update() {
    ClearDeviceList();
    GetDeviceList(nullptr);
    TnrCustomComm::Update();
}

void TnrCustomSerialComm::DeviceListLoad() {
    fw::TStringList map;
    fw::TStringList pnp(true);  // owns the entries' records

    const bool full = fEnumPorts != epQuickAll;
    if (full) {
        const bool presentOnly = fEnumPorts == epFullPresent;
        for (const auto& c : kCollections) CollectDevices(&c.Guid, presentOnly, c.ByDevice, &pnp, !c.ByDevice);
    }
    // Whether Plug-and-Play answered at all: without it a port cannot be
    // told absent, so every port of the map stays.
    const bool pnpAnswered = pnp.Count() > 0;

    ListSerialPorts(&map, true);

    for (int i = 0; i < map.Count(); ++i) {
        auto d = std::make_unique<TnrDevice>();
        d->NameFriendly = map.Names(i);
        d->NameDeviceDos = d->NameFriendly;
        d->NamePDO = map.ValueFromIndex(i);
        d->Data = SerialPortNumber(&map, i);
        if (full) {
            int e = FindEntry(pnp, d->NameDeviceDos);
            if (e >= 0) {
                TakeFrom(*d, *EntryDevice(pnp, e));
                pnp.Delete(e);
            } else if (fEnumPorts == epFullPresent && pnpAnswered) {
                continue;  // no present device behind this port
            }
        }
        if (AddDeviceSorted(d.get()) >= 0) d.release();
    }

    if (full) {
        for (int i = 0; i < pnp.Count(); ++i) {
            const TnrDevice* E = EntryDevice(pnp, i);
            // Listed only under a name the component can open: selecting it
            // writes the number, and the number opens "COM<number>".
            const std::wstring port = UpToNul(E->PortName);
            std::uint16_t n = 0;
            if (!ComPortNumber(port, n)) continue;
            auto d = std::make_unique<TnrDevice>();
            d->NameFriendly = port;
            d->NameDeviceDos = port;
            d->NamePDO = map.Values(port);
            d->Data = n;
            TakeFrom(*d, *E);
            if (AddDeviceSorted(d.get()) >= 0) d.release();
        }
    }
}

// ---- TnrComm

std::vector<fw::TPropInfo> TnrComm::PublishedProperties() const {
    using C = TnrComm;
    // Getters used here must be callable on a const object or be wrapped.
    struct A {
        static std::int64_t Active(const fw::TObject* o) { return const_cast<C*>(static_cast<const C*>(o))->Active(); }
        static void SetActive(fw::TObject* o, std::int64_t v) { static_cast<C*>(o)->SetActive(v != 0); }
        static std::int64_t Traces(const fw::TObject* o) { return static_cast<const C*>(o)->TraceStates().Bits(); }
        static void SetTraces(fw::TObject* o, std::int64_t v) {
            static_cast<C*>(o)->SetTraceStates(TTraceStates::FromBits(static_cast<std::uint16_t>(v)));
        }
        static std::int64_t EventChar(const fw::TObject* o) {
            return const_cast<C*>(static_cast<const C*>(o))->EventChar();
        }
        static void SetEventChar(fw::TObject* o, std::int64_t v) {
            static_cast<C*>(o)->SetEventChar(static_cast<wchar_t>(v));
        }
        static std::int64_t TimeoutRead(const fw::TObject* o) {
            return const_cast<C*>(static_cast<const C*>(o))->TimeoutRead();
        }
        static void SetTimeoutRead(fw::TObject* o, std::int64_t v) {
            static_cast<C*>(o)->SetTimeoutRead(static_cast<std::uint32_t>(v));
        }
        static std::int64_t TimeoutWrite(const fw::TObject* o) {
            return const_cast<C*>(static_cast<const C*>(o))->TimeoutWrite();
        }
        static void SetTimeoutWrite(fw::TObject* o, std::int64_t v) {
            static_cast<C*>(o)->SetTimeoutWrite(static_cast<std::uint32_t>(v));
        }
        static std::int64_t Tag(const fw::TObject* o) { return static_cast<const C*>(o)->Tag(); }
        static void SetTag(fw::TObject* o, std::int64_t v) { static_cast<C*>(o)->SetTag(static_cast<std::int32_t>(v)); }
    };
    return {
        {L"Tag", &A::Tag, &A::SetTag},
        {L"Active", &A::Active, &A::SetActive},
        fw::OrdPropInfo<C, &C::BaudRate, &C::SetBaudRate>(L"BaudRate"),
        fw::OrdPropInfo<C, &C::Parity, &C::SetParity>(L"Parity"),
        fw::OrdPropInfo<C, &C::StopBits, &C::SetStopBits>(L"StopBits"),
        fw::OrdPropInfo<C, &C::ByteSize, &C::SetByteSize>(L"ByteSize"),
        fw::OrdPropInfo<C, &C::ComPortNo, &C::SetComPortNo>(L"ComPortNo"),
        fw::OrdPropInfo<C, &C::ComPort, &C::SetComPort>(L"ComPort"),
        {L"TraceStates", &A::Traces, &A::SetTraces},
        {L"EventChar", &A::EventChar, &A::SetEventChar},
        fw::OrdPropInfo<C, &C::StreamProtocol, &C::SetStreamProtocol>(L"StreamProtocol"),
        fw::OrdPropInfo<C, &C::BufferInSize, &C::SetBufferInSize>(L"BufferInSize"),
        fw::OrdPropInfo<C, &C::BufferOutSize, &C::SetBufferOutSize>(L"BufferOutSize"),
        {L"TimeoutRead", &A::TimeoutRead, &A::SetTimeoutRead},
        {L"TimeoutWrite", &A::TimeoutWrite, &A::SetTimeoutWrite},
        fw::OrdPropInfo<C, &C::RS485Mode, &C::SetRS485Mode>(L"RS485Mode"),
        fw::OrdPropInfo<C, &C::EnumPorts, &C::SetEnumPorts>(L"EnumPorts"),
        fw::OrdPropInfo<C, &C::UseMainThread, &C::SetUseMainThread>(L"UseMainThread"),
        fw::OrdPropInfo<C, &C::TerminalUsage, &C::SetTerminalUsage>(L"TerminalUsage"),
        fw::OrdPropInfo<C, &C::TerminalEcho, &C::SetTerminalEcho>(L"TerminalEcho"),
    };
}

}  // namespace nr
