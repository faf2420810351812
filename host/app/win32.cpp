#include "win32.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "../io/io_manager.h"
#include "../kernel/clock.h"
#include "../kernel/scheduler.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "../kernel/worker.h"
#include "../pnp/pnp_manager.h"
#include "../rtl/strings.h"

namespace win32 {
namespace {

struct File {
  // The file object lives as long as anything refers to the file: a request's completion still
  // signals its event after the close has gone out.
  ~File() { delete Fo; }
  PFILE_OBJECT Fo = nullptr;
  PDEVICE_OBJECT Named = nullptr;  // the device the name resolved to (exclusive opens count here)
  PDEVICE_OBJECT Top = nullptr;    // the top of its stack, where requests go
  bool Overlapped = false;
  bool HandleClosed = false;
  bool CloseSent = false;
  int Outstanding = 0;
  struct Issuer {
    std::thread::id Thread;
    OVERLAPPED* Ov;
  };
  std::map<PIRP, Issuer> Issued;
};

struct Event {
  KEVENT Object;
};

struct Handle {
  std::shared_ptr<File> file;
  std::shared_ptr<Event> event;
};

std::recursive_mutex g_lock;
std::map<HANDLE, Handle> g_handles;
std::set<std::shared_ptr<File>> g_files;  // not yet closed by IRP_MJ_CLOSE
uintptr_t g_nextHandle = 0x1000;
thread_local DWORD tls_error = 0;
thread_local NTSTATUS tls_status = STATUS_SUCCESS;

void Fail(NTSTATUS status) {
  tls_status = status;
  tls_error = RtlNtStatusToDosError(status);
}

std::shared_ptr<File> FileOf(HANDLE h) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  auto it = g_handles.find(h);
  return it == g_handles.end() ? nullptr : it->second.file;
}

std::shared_ptr<Event> EventOf(HANDLE h) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  auto it = g_handles.find(h);
  return it == g_handles.end() ? nullptr : it->second.event;
}

HANDLE NewHandle(Handle h) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  HANDLE value = (HANDLE)(g_nextHandle += 4);
  g_handles[value] = std::move(h);
  return value;
}

// Sends one request for a file and, when the handle is synchronous or `wait` is set, waits for
// it. Returns what the dispatch routine returned; `final` and `info` get the outcome once known.
struct Request {
  NTSTATUS Final = STATUS_PENDING;
  ULONG_PTR Info = 0;
  KEVENT Done;
  OVERLAPPED* Ov = nullptr;
  PKEVENT OvEvent = nullptr;
  // The event object stays until it has been set, as the kernel's reference keeps it: a caller
  // that sees the request done may close its event handle before the event is signalled.
  std::shared_ptr<Event> OvEventObject;
  void* UserOut = nullptr;
  ULONG OutLength = 0;
  UCHAR Major = 0;
};

void SendClose(const std::shared_ptr<File>& file);

NTSTATUS Issue(const std::shared_ptr<File>& file, UCHAR major, UCHAR minor,
               const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup, void* userOut,
               ULONG outLength, OVERLAPPED* ov, bool wait, std::shared_ptr<Request>* out) {
  auto request = std::make_shared<Request>();
  KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
  {
    // A request made on a handle while another thread closes it: once the close went out the
    // file object is gone, as the handle is. Counted here, a request holds the close back.
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (file->CloseSent && major != IRP_MJ_CLOSE) {
      request->Final = STATUS_INVALID_HANDLE;
      if (out) *out = request;
      return STATUS_INVALID_HANDLE;
    }
    file->Outstanding++;
  }
  request->Ov = ov;
  request->UserOut = userOut;
  request->OutLength = outLength;
  request->Major = major;
  if (ov) {
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (ov->hEvent) {
      auto ev = EventOf(ov->hEvent);
      if (ev) {
        request->OvEventObject = ev;
        request->OvEvent = &ev->Object;
        KeClearEvent(request->OvEvent);
      }
    }
  }
  std::shared_ptr<File> keep = file;
  PIRP irp = hk::io::AllocateSystemIrp(file->Top->StackSize, [request, keep](PIRP done) {
    request->Final = done->IoStatus.Status;
    request->Info = done->IoStatus.Information;
    PVOID system = done->AssociatedIrp.SystemBuffer;
    if (request->UserOut && system) {
      ULONG_PTR bytes = done->IoStatus.Information;
      if (bytes > request->OutLength) {
        hk::verifier::Report("irp", "a driver reported " + std::to_string(bytes) +
                                        " bytes for an output buffer of " +
                                        std::to_string(request->OutLength));
        bytes = request->OutLength;
      }
      if (NT_SUCCESS(request->Final) || request->Final == STATUS_BUFFER_OVERFLOW)
        std::memcpy(request->UserOut, system, bytes);
    }
    std::free(system);
    done->AssociatedIrp.SystemBuffer = nullptr;
    // No longer counted before anyone can see it done: a caller that closes the handle once the
    // request is done finds no request holding the file, and the close goes out at once.
    bool close = false;
    {
      std::lock_guard<std::recursive_mutex> guard(g_lock);
      keep->Issued.erase(done);
      close = --keep->Outstanding == 0 && keep->HandleClosed && !keep->CloseSent;
      if (close) keep->CloseSent = true;
    }
    if (request->Ov) {
      // As the kernel publishes them: an application may poll Internal without waiting
      // (HasOverlappedIoCompleted), and then reads the count and the data.
      __atomic_store_n(&request->Ov->InternalHigh, request->Info, __ATOMIC_RELAXED);
      __atomic_store_n(&request->Ov->Internal, (ULONG_PTR)(LONG_PTR)request->Final, __ATOMIC_RELEASE);
    }
    KeSetEvent(&request->Done, 0, FALSE);
    if (request->OvEvent) KeSetEvent(request->OvEvent, 0, FALSE);
    KeSetEvent(&keep->Fo->Event, 0, FALSE);
    // The last request of a closed handle lets the file go: the close follows at PASSIVE_LEVEL.
    if (close) hk::worker::Post(hk::worker::Queue::Io, [keep] { SendClose(keep); });
  });
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  sp->FileObject = file->Fo;
  irp->Tail.Overlay.OriginalFileObject = file->Fo;
  irp->RequestorMode = UserMode;
  irp->UserBuffer = userOut;
  if (setup) setup(irp, sp);
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    file->Issued[irp] = {std::this_thread::get_id(), ov};
  }
  NTSTATUS status = IofCallDriver(file->Top, irp);
  if (wait) KeWaitForSingleObject(&request->Done, Executive, UserMode, FALSE, nullptr);
  if (out) *out = request;
  return status;
}

// The Win32 result of a request: synchronous handles see the final status; overlapped ones
// see ERROR_IO_PENDING when the driver pended it.
BOOL Result(NTSTATUS returned, const std::shared_ptr<Request>& request, bool overlapped,
            LPDWORD transferred) {
  if (overlapped && returned == STATUS_PENDING) {
    Fail(STATUS_PENDING);
    return 0;
  }
  NTSTATUS final = request->Final == STATUS_PENDING ? returned : request->Final;
  if (transferred) *transferred = (DWORD)request->Info;
  if (!NT_SUCCESS(final) || final == STATUS_PENDING) {
    Fail(final);
    return 0;
  }
  tls_status = final;
  if (final == STATUS_BUFFER_OVERFLOW) {
    tls_error = ERROR_MORE_DATA;
    return 0;
  }
  // Success leaves the last error as it was, as kernel32 does.
  return 1;
}

void SendClose(const std::shared_ptr<File>& file) {
  Issue(file, IRP_MJ_CLOSE, 0, nullptr, nullptr, 0, nullptr, true, nullptr);
  PDEVICE_OBJECT top = file->Top;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    hk::sched::NoPoints atomic;
    InterlockedDecrement(&file->Named->ReferenceCount);
    g_files.erase(file);
  }
  hk::pnp::FileClosed(top);
}

std::u16string DeviceName(LPCSTR name) {
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0 || n.rfind("\\\\?\\", 0) == 0) n = "\\??\\" + n.substr(4);
  else if (n.rfind("\\", 0) != 0) n = "\\??\\" + n;
  return hk::rtl::FromAscii(n);
}

// The file behind a handle for a request, or null (with the error set): an overlapped handle
// needs an OVERLAPPED, as on Windows.
std::shared_ptr<File> RequestFile(HANDLE handle, LPOVERLAPPED ov, LPDWORD transferred) {
  // Zeroed before anything is checked, as kernel32 does.
  if (transferred) *transferred = 0;
  auto file = FileOf(handle);
  if (!file) {
    Fail(STATUS_INVALID_HANDLE);
    return nullptr;
  }
  if (file->Overlapped && !ov) {
    Fail(STATUS_INVALID_PARAMETER);
    return nullptr;
  }
  return file;
}

constexpr DWORD kReadMarkBytes = 4096;

BOOL Transfer(HANDLE handle, UCHAR major, void* buffer, DWORD length, LPDWORD done,
              LPOVERLAPPED ov) {
  auto file = RequestFile(handle, ov, done);
  if (!file) return 0;
  // The byte offset goes down as NtReadFile and NtWriteFile pass it: the OVERLAPPED's, or the
  // file's position for a request without one. Negative offsets other than "end of file" (-1)
  // and "file position" (-2) are refused before any request is built.
  LARGE_INTEGER offset = file->Fo->CurrentByteOffset;
  if (ov) {
    offset.LowPart = ov->Offset;
    offset.HighPart = (LONG)ov->OffsetHigh;
    bool special = offset.HighPart == -1 && (offset.LowPart == 0xFFFFFFFF || offset.LowPart == 0xFFFFFFFE);
    if (offset.QuadPart < 0 && !special) {
      Fail(STATUS_INVALID_PARAMETER);
      return 0;
    }
    if (special && offset.LowPart == 0xFFFFFFFE) offset = file->Fo->CurrentByteOffset;
  }
  bool buffered = (file->Top->Flags & DO_BUFFERED_IO) != 0;
  std::shared_ptr<Request> request;
  NTSTATUS status = Issue(
      file, major, 0,
      [&](PIRP irp, PIO_STACK_LOCATION sp) {
        if (major == IRP_MJ_READ) {
          sp->Parameters.Read.Length = length;
          sp->Parameters.Read.ByteOffset = offset;
        } else {
          sp->Parameters.Write.Length = length;
          sp->Parameters.Write.ByteOffset = offset;
        }
        if (buffered && length) {
          irp->AssociatedIrp.SystemBuffer = std::malloc(length);
          // A read's buffer is not cleared (the I/O manager does not either), only its start is
          // marked, so that bytes a driver reports but never wrote show in small reads.
          if (major == IRP_MJ_WRITE) std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
          else std::memset(irp->AssociatedIrp.SystemBuffer, 0xA5, length < kReadMarkBytes ? length : kReadMarkBytes);
        }
      },
      major == IRP_MJ_READ ? buffer : nullptr, major == IRP_MJ_READ ? length : 0, ov,
      !file->Overlapped, &request);
  return Result(status, request, file->Overlapped, done);
}

}  // namespace

DWORD RtlNtStatusToDosError(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
    case STATUS_TIMEOUT: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_DEVICE_BUSY: return ERROR_BUSY;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_IO_DEVICE_ERROR: return ERROR_IO_DEVICE;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_NOT_READY: return ERROR_NOT_READY;
    case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
    default: return ERROR_MR_MID_NOT_FOUND;
  }
}

DWORD GetLastError() { return tls_error; }
void SetLastError(DWORD error) { tls_error = error; }
NTSTATUS GetLastNtStatus() { return tls_status; }

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPVOID security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  (void)access;
  (void)share;
  (void)security;
  (void)disposition;
  (void)templateFile;
  std::u16string path = DeviceName(name);
  PDEVICE_OBJECT device = hk::io::ResolveName(path);
  if (!device || !hk::io::IsLiveDevice(device) || (device->Flags & DO_DEVICE_INITIALIZING)) {
    Fail(STATUS_OBJECT_NAME_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  {
    // An exclusive device takes one open at a time; the I/O manager refuses the second.
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) {
      Fail(STATUS_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    hk::sched::NoPoints atomic;
    InterlockedIncrement(&device->ReferenceCount);
  }
  auto file = std::make_shared<File>();
  file->Named = device;
  file->Top = hk::io::TopOfStack(device);
  file->Overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  file->Fo = new FILE_OBJECT{};
  file->Fo->Type = 5;
  file->Fo->Size = sizeof(FILE_OBJECT);
  file->Fo->DeviceObject = device;
  KeInitializeEvent(&file->Fo->Event, NotificationEvent, FALSE);
  std::shared_ptr<Request> request;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_files.insert(file);
  }
  NTSTATUS status = Issue(file, IRP_MJ_CREATE, 0, nullptr, nullptr, 0, nullptr, true, &request);
  (void)status;
  if (!NT_SUCCESS(request->Final)) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    hk::sched::NoPoints atomic;
    InterlockedDecrement(&device->ReferenceCount);
    g_files.erase(file);
    Fail(request->Final);
    return INVALID_HANDLE_VALUE;
  }
  tls_error = 0;
  tls_status = STATUS_SUCCESS;
  Handle h;
  h.file = file;
  return NewHandle(h);
}

BOOL CloseHandle(HANDLE handle) {
  Handle h;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    auto it = g_handles.find(handle);
    if (it == g_handles.end()) {
      Fail(STATUS_INVALID_HANDLE);
      return 0;
    }
    h = it->second;
    g_handles.erase(it);
  }
  if (h.event) return 1;
  auto file = h.file;
  Issue(file, IRP_MJ_CLEANUP, 0, nullptr, nullptr, 0, nullptr, true, nullptr);
  bool closeNow;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    file->HandleClosed = true;
    closeNow = file->Outstanding == 0 && !file->CloseSent;
    if (closeNow) file->CloseSent = true;
  }
  // Requests still pending keep the file open; the close is sent after the last of them.
  if (closeNow) SendClose(file);
  return 1;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
  return Transfer(file, IRP_MJ_READ, buffer, length, read, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
  return Transfer(file, IRP_MJ_WRITE, const_cast<void*>(buffer), length, written, overlapped);
}

BOOL FlushFileBuffers(HANDLE handle) {
  auto file = FileOf(handle);
  if (!file) {
    Fail(STATUS_INVALID_HANDLE);
    return 0;
  }
  // NtFlushBuffersFile: kernel32 waits for the flush on an overlapped handle too.
  std::shared_ptr<Request> request;
  NTSTATUS status = Issue(file, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, nullptr, 0, nullptr, true, &request);
  return Result(status, request, false, nullptr);
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, LPDWORD returned, LPOVERLAPPED ov) {
  auto file = RequestFile(handle, ov, returned);
  if (!file) return 0;
  std::shared_ptr<Request> request;
  NTSTATUS status = Issue(
      file, IRP_MJ_DEVICE_CONTROL, 0,
      [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        ULONG length = inLength > outLength ? inLength : outLength;
        if ((code & 3) == METHOD_BUFFERED && length) {
          irp->AssociatedIrp.SystemBuffer = std::malloc(length);
          std::memset(irp->AssociatedIrp.SystemBuffer, 0xA5, length);
          if (in && inLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        }
      },
      out, outLength, ov, !file->Overlapped, &request);
  return Result(status, request, file->Overlapped, returned);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
  auto file = FileOf(handle);
  if (!file) {
    Fail(STATUS_INVALID_HANDLE);
    return 0;
  }
  // Read as the completion publishes them (HasOverlappedIoCompleted may be polling meanwhile).
  while ((NTSTATUS)__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING) {
    if (!wait) {
      tls_error = ERROR_IO_INCOMPLETE;
      tls_status = STATUS_PENDING;
      return 0;
    }
    PKEVENT event = &file->Fo->Event;
    if (ov->hEvent) {
      if (auto ev = EventOf(ov->hEvent)) event = &ev->Object;
    }
    // Waited for without a time-out, as kernel32 does: the completion stores the status before
    // it signals the event, and the file's shared event is cleared before the status is looked
    // at again, so no completion goes unseen.
    KeWaitForSingleObject(event, Executive, UserMode, FALSE, nullptr);
    if (!ov->hEvent) KeClearEvent(&file->Fo->Event);
  }
  NTSTATUS final = (NTSTATUS)__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
  if (transferred) *transferred = (DWORD)__atomic_load_n(&ov->InternalHigh, __ATOMIC_RELAXED);
  if (!NT_SUCCESS(final)) {
    Fail(final);
    return 0;
  }
  tls_status = final;
  return 1;
}

namespace {
BOOL Cancel(HANDLE handle, LPOVERLAPPED only, bool thisThreadOnly) {
  auto file = FileOf(handle);
  if (!file) {
    Fail(STATUS_INVALID_HANDLE);
    return 0;
  }
  std::vector<PIRP> irps;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    for (const auto& [irp, issuer] : file->Issued) {
      if (thisThreadOnly && issuer.Thread != std::this_thread::get_id()) continue;
      // CancelIoEx with an OVERLAPPED cancels that request only, from whichever thread.
      if (only && issuer.Ov != only) continue;
      hk::io::ReferenceIrp(irp);
      irps.push_back(irp);
    }
  }
  for (PIRP irp : irps) {
    IoCancelIrp(irp);
    hk::io::DereferenceIrp(irp);
  }
  return 1;
}
}  // namespace

BOOL CancelIo(HANDLE handle) { return Cancel(handle, nullptr, true); }
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) { return Cancel(handle, overlapped, false); }

HANDLE CreateEventA(LPVOID security, BOOL manualReset, BOOL initialState, LPCSTR name) {
  (void)security;
  (void)name;
  auto ev = std::make_shared<Event>();
  KeInitializeEvent(&ev->Object, manualReset ? NotificationEvent : SynchronizationEvent,
                    initialState ? TRUE : FALSE);
  Handle h;
  h.event = ev;
  return NewHandle(h);
}

BOOL SetEvent(HANDLE event) {
  auto ev = EventOf(event);
  if (!ev) return 0;
  KeSetEvent(&ev->Object, 0, FALSE);
  return 1;
}

BOOL ResetEvent(HANDLE event) {
  auto ev = EventOf(event);
  if (!ev) return 0;
  KeClearEvent(&ev->Object);
  return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto ev = EventOf(handle);
  if (!ev) {
    Fail(STATUS_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)milliseconds * 10000;
  NTSTATUS status = KeWaitForSingleObject(&ev->Object, Executive, UserMode, FALSE,
                                          milliseconds == INFINITE ? nullptr : &timeout);
  return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

namespace {
NTSTATUS FileInformation(HANDLE handle, UCHAR major, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                         FILE_INFORMATION_CLASS infoClass) {
  auto file = FileOf(handle);
  if (!file) return STATUS_INVALID_HANDLE;
  std::shared_ptr<Request> request;
  Issue(
      file, major, 0,
      [&](PIRP irp, PIO_STACK_LOCATION sp) {
        if (major == IRP_MJ_QUERY_INFORMATION) {
          sp->Parameters.QueryFile.Length = length;
          sp->Parameters.QueryFile.FileInformationClass = infoClass;
        } else {
          sp->Parameters.SetFile.Length = length;
          sp->Parameters.SetFile.FileInformationClass = infoClass;
        }
        irp->AssociatedIrp.SystemBuffer = std::malloc(length ? length : 1);
        if (major == IRP_MJ_SET_INFORMATION) std::memcpy(irp->AssociatedIrp.SystemBuffer, info, length);
      },
      major == IRP_MJ_QUERY_INFORMATION ? info : nullptr,
      major == IRP_MJ_QUERY_INFORMATION ? length : 0, nullptr, true, &request);
  if (iosb) {
    iosb->Status = request->Final;
    iosb->Information = request->Info;
  }
  return request->Final;
}
}  // namespace

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass) {
  return FileInformation(file, IRP_MJ_QUERY_INFORMATION, status, info, length, infoClass);
}

NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass) {
  return FileInformation(file, IRP_MJ_SET_INFORMATION, status, info, length, infoClass);
}

int OpenFileCount() {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  return (int)g_files.size();
}

void CloseAllHandles() {
  std::vector<HANDLE> all;
  {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    for (const auto& [h, v] : g_handles) all.push_back(h);
  }
  for (HANDLE h : all) CloseHandle(h);
}

// Plug and Play asks how many files are open on a device stack before it removes it.
int OpenFilesOn(PDEVICE_OBJECT top) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  int n = 0;
  for (const auto& f : g_files)
    if (f->Top == top) ++n;
  return n;
}

}  // namespace win32
