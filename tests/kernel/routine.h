// Completion routines, cancel routines and DPCs that run a test's lambda.
#pragma once
#include <functional>

#include <hostddk/ddk.h>

namespace hk::test {

struct CompletionRoutine {
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> Body;
  static NTSTATUS Call(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return static_cast<CompletionRoutine*>(context)->Body(device, irp);
  }
};

}  // namespace hk::test
