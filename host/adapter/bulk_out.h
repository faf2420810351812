// The bulk-out stream (endpoint 0x02): 2-byte units, each headed by the DTR and RTS outputs;
// data units carry a character to send, modem-control units only the outputs.
#pragma once
#include <hostddk/ddk.h>

#include <string>
#include <vector>

#include "records.h"

namespace hk::adapter {

constexpr UCHAR kUnitKindMask = 0xE0;
constexpr UCHAR kDataUnit = 0xA0;
constexpr UCHAR kModemControlUnit = 0xC0;
constexpr UCHAR kDtr = 0x01;
constexpr UCHAR kRts = 0x02;
constexpr UCHAR kReservedHeaderBits = 0x1C;

struct OutUnit {
  bool Data;  // false: modem-control unit
  bool Dtr;
  bool Rts;
  UCHAR Ch;
};

struct OutFinding {
  ViolationKind Kind;
  std::string Detail;
};

struct ParsedOut {
  std::vector<OutUnit> Units;  // the units the adapter acts on, in order
  ULONG WholeUnits = 0;        // every whole unit in the transfer, those ignored included
  std::vector<OutFinding> Findings;
};

// Splits a transfer into units and notes what the host did wrong. A trailing half unit and
// units of an unknown kind are ignored.
ParsedOut ParseOutTransfer(const UCHAR* bytes, ULONG length);

}  // namespace hk::adapter
