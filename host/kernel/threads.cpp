#include "threads.h"

#include <csetjmp>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "activity.h"
#include "dispatcher.h"
#include "handles.h"
#include "faults.h"
#include "../registry/registry.h"
#include "scheduler.h"
#include "verifier.h"

namespace hk {
namespace {

thread_local ThreadInfo* tls_thread = nullptr;

struct SystemThread {
  std::thread host;
  _KTHREAD* object;  // may be freed, and its address reused, once `ended`
  std::string name;
  bool ended = false;  // under g_lock; set as the thread terminates
};

std::mutex g_lock;
std::set<_KTHREAD*> g_objects;       // every live thread object
std::list<SystemThread> g_system;    // system threads in creation order
int g_created = 0;

_KTHREAD* NewThreadObject(ThreadInfo* info) {
  auto* object = new _KTHREAD;
  dispatcher::InitializeHeader(&object->Header, ThreadObject, 0);
  object->Info = info;
  object->References = 1;  // held by the running thread
  object->Terminated = false;
  std::lock_guard<std::mutex> guard(g_lock);
  g_objects.insert(object);
  return object;
}

void Dereference(_KTHREAD* object) {
  if (--object->References == 0) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_objects.erase(object);
    delete object;
  }
}

void Terminate(ThreadInfo* info) {
  _KTHREAD* object = info->Object;
  if (info->System) {
    // Marked while the object is still this thread's: once freed, its address may be a newer
    // thread's, which must not make this one look alive.
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& t : g_system)
      if (t.object == object && !t.ended) t.ended = true;
  }
  {
    std::lock_guard<std::mutex> guard(dispatcher::Lock());
    object->Terminated = true;
    object->Info = nullptr;
    object->Header.SignalState = 1;
    dispatcher::SignalObject(&object->Header);
  }
  Dereference(object);
}

// Foreign threads (tests, applications) release their thread object when they end.
struct ForeignThreadCleanup {
  ~ForeignThreadCleanup() {
    if (tls_thread && !tls_thread->System) {
      Terminate(tls_thread);
      delete tls_thread;
      tls_thread = nullptr;
    }
  }
};
thread_local ForeignThreadCleanup tls_cleanup;

void SystemThreadMain(ThreadInfo* info, PKSTART_ROUTINE start, PVOID context) {
  tls_thread = info;
  if (setjmp(info->ExitJump) == 0) {
    info->CanExit = true;
    start(context);
  }
  info->CanExit = false;
  if (info->Irql != PASSIVE_LEVEL)
    verifier::Report("irql", info->Name + " ended at IRQL " + std::to_string(info->Irql));
  if (!info->HeldLocks.empty())
    verifier::Report("spin-lock", info->Name + " ended holding a spin lock");
  Terminate(info);
  tls_thread = nullptr;
  delete info;
  activity::End();
}

}  // namespace

ThreadInfo& CurrentThread() {
  if (!tls_thread) {
    tls_thread = new ThreadInfo;
    tls_thread->Name = "application thread";
    tls_thread->Object = NewThreadObject(tls_thread);
    (void)&tls_cleanup;
  }
  return *tls_thread;
}

namespace threads {

std::vector<std::string> Running() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::string> out;
  for (auto& t : g_system)
    if (!t.ended) out.push_back(t.name);
  return out;
}

size_t Reap() {
  std::list<SystemThread> done;
  size_t running = 0;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_system.begin(); it != g_system.end();) {
      if (it->ended) {
        done.splice(done.end(), g_system, it++);
      } else {
        ++running;
        ++it;
      }
    }
  }
  for (auto& t : done)
    if (t.host.joinable()) sched::Join(t.host);
  return running;
}

void EndForeignThread() {
  if (tls_thread && !tls_thread->System) {
    Terminate(tls_thread);
    delete tls_thread;
    tls_thread = nullptr;
  }
}

std::vector<int> Priorities() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<int> out;
  for (auto& t : g_system)
    out.push_back(!t.ended && g_objects.count(t.object) && t.object->Info ? t.object->Info->Priority : -1);
  return out;
}

}  // namespace threads
}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  (void)ClientId;
  if (CurrentThread().Irql != PASSIVE_LEVEL)
    verifier::Report("irql", "PsCreateSystemThread above PASSIVE_LEVEL");
  if (faults::ShouldFail(faults::Resource::Thread, 0, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  sched::Point("PsCreateSystemThread");
  auto* info = new ThreadInfo;
  info->System = true;
  info->Counted = true;
  _KTHREAD* object = NewThreadObject(info);
  info->Object = object;
  object->References++;  // for the handle
  *ThreadHandle = handles::Insert(handles::Kind::Thread, object);
  activity::Begin();  // the new thread is runnable from now on
  std::lock_guard<std::mutex> guard(g_lock);
  info->Name = "system thread " + std::to_string(++g_created);
  g_system.push_back({sched::Spawn([info, StartRoutine, StartContext] {
                        SystemThreadMain(info, StartRoutine, StartContext);
                      }),
                      object, info->Name});
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  (void)ExitStatus;
  ThreadInfo& self = CurrentThread();
  if (!self.System || !self.CanExit) {
    verifier::Report("thread", "PsTerminateSystemThread called outside a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  std::longjmp(self.ExitJump, 1);
}

PKTHREAD KeGetCurrentThread(void) { return CurrentThread().Object; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  if (!Thread->Info) return 0;
  KPRIORITY old = Thread->Info->Priority;
  Thread->Info->Priority = Priority;
  return old;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  (void)DesiredAccess;
  (void)ObjectType;
  (void)AccessMode;
  (void)HandleInformation;
  handles::Kind kind;
  void* object;
  if (!handles::Lookup(Handle, &kind, &object)) return STATUS_INVALID_HANDLE;
  if (kind != handles::Kind::Thread) return STATUS_OBJECT_TYPE_MISMATCH;
  if (faults::ShouldFail(faults::Resource::ObjectReference, 0, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<_KTHREAD*>(object)->References++;
  *Object = object;
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  std::unique_lock<std::mutex> guard(g_lock);
  auto* thread = static_cast<_KTHREAD*>(Object);
  if (!g_objects.count(thread)) {
    guard.unlock();
    verifier::Report("object", "ObReferenceObject on an object the kernel does not know");
    return 0;
  }
  return ++thread->References;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  auto* thread = static_cast<_KTHREAD*>(Object);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_objects.count(thread)) {
      verifier::Report("object", "ObDereferenceObject on an object that is not referenced (already freed?)");
      return 0;
    }
  }
  long left = thread->References - 1;
  Dereference(thread);
  return left;
}

NTSTATUS ZwClose(HANDLE Handle) {
  handles::Kind kind;
  void* object;
  if (!handles::Remove(Handle, &kind, &object)) {
    verifier::Report("handle", "ZwClose on a handle that is not open");
    return STATUS_INVALID_HANDLE;
  }
  if (kind == handles::Kind::Thread) Dereference(static_cast<_KTHREAD*>(object));
  else registry::CloseKey(object);
  return STATUS_SUCCESS;
}

}  // extern "C"
