// A USB capture: every URB the simulated bus carries, at submission and at completion, written
// to a pcap file in the USBPcap link type, the format Wireshark reads for Windows USB captures,
// so a session on the host kernel can be looked at with the same tools as one on Windows.
#pragma once
#include <string>

namespace hk::usb {

// Starts writing to `path` (created or truncated): the devices plugged in now and those plugged
// in later, until StopCapture. False, with nothing changed, when the file cannot be created or
// a capture is already running.
bool StartCapture(const std::string& path);
// Writes out what is buffered and closes the file. Nothing happens when no capture runs.
void StopCapture();
bool Capturing();

}  // namespace hk::usb
