// Carries the virtual USB bus's requests to the adapter model and its replies back: requests
// fetched from the bus's control device go to standard output, replies read from standard input
// go to the bus. Standard input and output are pipes to the model server on the Linux side.
// Runs until standard input closes; it also keeps the Wine session (and so the driver) alive.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../bus/bus_protocol.h"

namespace {

HANDLE OpenBus() {
  // The bus creates its control device when Wine loads it, which may still be under way.
  for (int attempt = 0; attempt < 1200; ++attempt) {
    HANDLE bus = CreateFileW(L"\\\\.\\OrvixBusControl", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (bus != INVALID_HANDLE_VALUE) return bus;
    Sleep(100);
  }
  return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE out, const void* data, DWORD size) {
  const char* p = static_cast<const char*>(data);
  while (size != 0) {
    DWORD written = 0;
    if (!WriteFile(out, p, size, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

bool ReadAll(HANDLE in, void* data, DWORD size) {
  char* p = static_cast<char*>(data);
  while (size != 0) {
    DWORD read = 0;
    if (!ReadFile(in, p, size, &read, nullptr) || read == 0) return false;
    p += read;
    size -= read;
  }
  return true;
}

// Replies from the model to the bus, on a handle of its own: a synchronous handle would hold
// each reply behind the pending NEXT request.
DWORD WINAPI Replies(void*) {
  HANDLE bus = OpenBus();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::vector<char> buffer(ORVIXBUS_MAX_MESSAGE);
  for (;;) {
    OrvixBusMessage* message = reinterpret_cast<OrvixBusMessage*>(buffer.data());
    if (!ReadAll(in, message, sizeof(OrvixBusMessage))) break;
    if (message->Size < sizeof(OrvixBusMessage) || message->Size > ORVIXBUS_MAX_MESSAGE) {
      std::fprintf(stderr, "bus_relay: a reply of %u bytes\n", message->Size);
      break;
    }
    if (!ReadAll(in, message + 1, message->Size - sizeof(OrvixBusMessage))) break;
    DWORD returned = 0;
    if (!DeviceIoControl(bus, IOCTL_ORVIXBUS_DONE, message, message->Size, nullptr, 0, &returned, nullptr))
      std::fprintf(stderr, "bus_relay: reply %llu refused: %lu\n", (unsigned long long)message->Id,
                   GetLastError());
  }
  std::fprintf(stderr, "bus_relay: the model closed its side\n");
  ExitProcess(0);
}

}  // namespace

int main() {
  HANDLE bus = OpenBus();
  if (bus == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "bus_relay: the bus's control device did not appear: %lu\n", GetLastError());
    return 1;
  }
  std::fprintf(stderr, "bus_relay: connected to the bus\n");
  HANDLE thread = CreateThread(nullptr, 0, Replies, nullptr, 0, nullptr);
  if (thread == nullptr) return 1;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::vector<char> buffer(ORVIXBUS_MAX_MESSAGE);
  for (;;) {
    DWORD returned = 0;
    if (!DeviceIoControl(bus, IOCTL_ORVIXBUS_NEXT, nullptr, 0, buffer.data(), (DWORD)buffer.size(),
                         &returned, nullptr)) {
      std::fprintf(stderr, "bus_relay: fetching a request failed: %lu\n", GetLastError());
      Sleep(100);
      continue;
    }
    if (!WriteAll(out, buffer.data(), returned)) break;
  }
  return 0;
}
