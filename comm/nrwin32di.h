// Plug-and-Play device information: SetupAPI and the configuration manager
// bound by name at run time (the program runs without them), and the
// collection of device records for the COM port list.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "../framework/classes.h"

namespace nr {

// Binds SetupAPI.dll (and cfgmgr32.dll when SetupAPI.dll does not export the
// configuration manager). True when every required entry point was found;
// a failed binding keeps nothing loaded and is tried again by the next call.
bool LoadSetupApi();
// Releases what LoadSetupApi loaded; also run when the program ends.
void UnloadSetupApi();

// A device registry property as text; empty when it is absent, unreadable
// or longer than 255 characters.
std::wstring GetDevicePropertyString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, DWORD Property);

// Appends one TnrDevice per device (ByDevice) or per device interface of
// the set given by Guid (a setup class, or with Interface an interface
// class; none for all classes). Entry text = the record's Driver; the
// records belong to the caller.
void CollectDevices(const GUID* Guid, bool PresentOnly, bool ByDevice, fw::TStringList* List, bool Interface);

// The instance identifiers of a device's bus (or removal) relations joined
// by Separator; empty when there are none or they cannot be read.
std::wstring GetDeviceRelationList(const std::wstring& InstanceId, const std::wstring& Separator, bool BusRelations);

}  // namespace nr
