// The object namespace: named device objects and symbolic links ("\DosDevices\COM5").
#pragma once
#include <hostddk/ddk.h>

#include <string>

namespace hk::io::names {

bool AddDevice(const std::u16string& name, PDEVICE_OBJECT device);  // false on a collision
void Remove(const std::u16string& name);
// Forgets every name and registered interface (a new machine).
void Reset();

}  // namespace hk::io::names
