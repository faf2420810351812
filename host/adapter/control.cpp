#include "control.h"

namespace hk::adapter {
namespace {

constexpr ULONG kBaudTable[] = {50,   100,  110,   150,   200,   300,   600,   1200,  2400,
                                4800, 9600, 14400, 19200, 28800, 38400, 57600, 76800, 115200};

}  // namespace

ULONG BaudForCode(UCHAR code) {
  return code < sizeof(kBaudTable) / sizeof(kBaudTable[0]) ? kBaudTable[code] : 0;
}

DecodedLineBlock DecodeLineBlock(const UCHAR* data, ULONG length) {
  DecodedLineBlock out;
  if (length != kLineBlockLength) {
    out.Problem = "line-settings block of " + std::to_string(length) + " bytes, not 8";
    return out;
  }
  UartSettings s;
  s.Baud = BaudForCode(data[0]);
  if (!s.Baud) {
    out.Problem = "unknown baud code " + std::to_string(data[0]);
    return out;
  }
  if (data[1] > 1) {
    out.Problem = "data-bits code " + std::to_string(data[1]);
    return out;
  }
  s.DataBits = data[1] == 0 ? 8 : 7;
  if (data[2] > 1) {
    out.Problem = "stop-bits code " + std::to_string(data[2]);
    return out;
  }
  s.StopBits = data[2] == 0 ? 1 : 2;
  switch (data[3]) {
    case 0: s.Parity = 'N'; break;
    case 2: s.Parity = 'E'; break;
    case 3: s.Parity = 'O'; break;
    default:
      out.Problem = "parity code " + std::to_string(data[3]);
      return out;
  }
  out.Usable = true;
  out.Settings = s;
  if (data[4] != 1 || data[5] || data[6] || data[7]) out.Problem = "bytes 4-7 are not 01 00 00 00";
  return out;
}

std::vector<UCHAR> PortReply(UCHAR inputs) {
  inputs &= 0x0F;
  return {(UCHAR)(0xA0 | (~inputs & 0x0F)), (UCHAR)(0x50 | inputs)};
}

}  // namespace hk::adapter
