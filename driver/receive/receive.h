// The receive path: receive buffer, reader thread, read requests.
#pragma once
#include "../frame/frame.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
