// The Orvix driver's entry point, for programs that run it on the host kernel.
#pragma once
#include <hostddk/ddk.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
