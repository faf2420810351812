#include "comm.h"

namespace win32 {

static_assert(sizeof(DCB) == 28, "DCB keeps its Win32 layout");
static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS is SERIAL_TIMEOUTS");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT keeps its Win32 layout");
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP is SERIAL_COMMPROP");

namespace {

// One device-control request, waited for whatever kind of handle it is made on: an overlapped
// handle gets an OVERLAPPED of our own, as kernel32 does.
BOOL Control(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out = nullptr,
             DWORD outLength = 0) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(file, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(file, &ov, &bytes, TRUE);
  DWORD error = GetLastError();
  CloseHandle(ov.hEvent);
  SetLastError(error);
  return ok;
}

BOOL Invalid() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// The four records a DCB is made of.
struct LineSettings {
  SERIAL_BAUD_RATE Baud;
  SERIAL_LINE_CONTROL Line;
  SERIAL_CHARS Chars;
  SERIAL_HANDFLOW Handflow;
};

BOOL ReadSettings(HANDLE file, LineSettings* s) {
  return Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->Baud, sizeof s->Baud) &&
         Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->Line, sizeof s->Line) &&
         Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->Chars, sizeof s->Chars) &&
         Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->Handflow, sizeof s->Handflow);
}

void ToDcb(const LineSettings& s, DCB* dcb) {
  *dcb = DCB{};
  const ULONG shake = s.Handflow.ControlHandShake;
  const ULONG replace = s.Handflow.FlowReplace;
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = s.Baud.BaudRate;
  dcb->fBinary = 1;  // the only mode there is
  dcb->fParity = s.Line.Parity != NO_PARITY;
  dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
  dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
  switch (shake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case SERIAL_DTR_HANDSHAKE: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
  }
  dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
  dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
  }
  dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
  dcb->XonLim = (WORD)s.Handflow.XonLimit;
  dcb->XoffLim = (WORD)s.Handflow.XoffLimit;
  dcb->ByteSize = s.Line.WordLength;
  dcb->Parity = s.Line.Parity;
  dcb->StopBits = s.Line.StopBits;
  dcb->XonChar = (char)s.Chars.XonChar;
  dcb->XoffChar = (char)s.Chars.XoffChar;
  dcb->ErrorChar = (char)s.Chars.ErrorChar;
  dcb->EofChar = (char)s.Chars.EofChar;
  dcb->EvtChar = (char)s.Chars.EventChar;
}

// The records a DCB asks for; what a DCB does not hold (the break character) stays as it was.
LineSettings FromDcb(const DCB& dcb, const LineSettings& old) {
  LineSettings s = old;
  s.Baud.BaudRate = dcb.BaudRate;
  s.Line.WordLength = dcb.ByteSize;
  s.Line.Parity = dcb.Parity;
  s.Line.StopBits = dcb.StopBits;
  ULONG shake = 0;
  ULONG replace = 0;
  if (dcb.fOutxCtsFlow) shake |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) shake |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) shake |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) shake |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fDsrSensitivity) shake |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) shake |= SERIAL_ERROR_ABORT;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) replace |= SERIAL_RTS_CONTROL;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) replace |= SERIAL_RTS_HANDSHAKE;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) replace |= SERIAL_TRANSMIT_TOGGLE;
  if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
  if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
  s.Handflow.ControlHandShake = shake;
  s.Handflow.FlowReplace = replace;
  s.Handflow.XonLimit = dcb.XonLim;
  s.Handflow.XoffLimit = dcb.XoffLim;
  s.Chars.EofChar = (UCHAR)dcb.EofChar;
  s.Chars.ErrorChar = (UCHAR)dcb.ErrorChar;
  s.Chars.EventChar = (UCHAR)dcb.EvtChar;
  s.Chars.XonChar = (UCHAR)dcb.XonChar;
  s.Chars.XoffChar = (UCHAR)dcb.XoffChar;
  return s;
}

// In the order Windows sends them: the rate, the output lines the DCB sets outright, the
// line control, the special characters, and the handshaking last.
BOOL ApplySettings(HANDLE file, const LineSettings& s, const DCB* dcb) {
  if (!Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &s.Baud, sizeof s.Baud)) return 0;
  if (dcb) {
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE && !Control(file, IOCTL_SERIAL_SET_RTS, nullptr, 0)) return 0;
    if (dcb->fRtsControl == RTS_CONTROL_DISABLE && !Control(file, IOCTL_SERIAL_CLR_RTS, nullptr, 0)) return 0;
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE && !Control(file, IOCTL_SERIAL_SET_DTR, nullptr, 0)) return 0;
    if (dcb->fDtrControl == DTR_CONTROL_DISABLE && !Control(file, IOCTL_SERIAL_CLR_DTR, nullptr, 0)) return 0;
  }
  return Control(file, IOCTL_SERIAL_SET_LINE_CONTROL, &s.Line, sizeof s.Line) &&
         Control(file, IOCTL_SERIAL_SET_CHARS, &s.Chars, sizeof s.Chars) &&
         Control(file, IOCTL_SERIAL_SET_HANDFLOW, &s.Handflow, sizeof s.Handflow);
}

}  // namespace

BOOL GetCommState(HANDLE file, LPDCB dcb) {
  if (!dcb) return Invalid();
  LineSettings s;
  if (!ReadSettings(file, &s)) return 0;
  ToDcb(s, dcb);
  return 1;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
  if (!dcb || dcb->fDtrControl > DTR_CONTROL_HANDSHAKE) return Invalid();
  LineSettings old;
  if (!ReadSettings(file, &old)) return 0;
  if (ApplySettings(file, FromDcb(*dcb, old), dcb)) return 1;
  // A setting the driver refused leaves the port as it was before the call.
  DWORD error = GetLastError();
  ApplySettings(file, old, nullptr);
  SetLastError(error);
  return 0;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  if (!timeouts) return Invalid();
  return Control(file, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts, sizeof(COMMTIMEOUTS));
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  if (!timeouts) return Invalid();
  return Control(file, IOCTL_SERIAL_SET_TIMEOUTS, timeouts, sizeof(COMMTIMEOUTS));
}

BOOL SetCommMask(HANDLE file, DWORD mask) { return Control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask); }

BOOL GetCommMask(HANDLE file, LPDWORD mask) {
  if (!mask) return Invalid();
  return Control(file, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, mask, sizeof(DWORD));
}

BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped) {
  if (!mask) return Invalid();
  if (!overlapped) return Control(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof(DWORD));
  DWORD bytes = 0;
  return DeviceIoControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof(DWORD), &bytes, overlapped);
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  SERIAL_STATUS s{};
  if (!Control(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s)) return 0;
  if (errors) {
    *errors = 0;
    if (s.Errors & SERIAL_ERROR_BREAK) *errors |= CE_BREAK;
    if (s.Errors & SERIAL_ERROR_FRAMING) *errors |= CE_FRAME;
    if (s.Errors & SERIAL_ERROR_OVERRUN) *errors |= CE_OVERRUN;
    if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN) *errors |= CE_RXOVER;
    if (s.Errors & SERIAL_ERROR_PARITY) *errors |= CE_RXPARITY;
  }
  if (status) {
    *status = COMSTAT{};
    status->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    status->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    status->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    status->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    status->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    status->fEof = s.EofReceived != 0;
    status->fTxim = s.WaitForImmediate != 0;
    status->cbInQue = s.AmountInInQueue;
    status->cbOutQue = s.AmountInOutQueue;
  }
  return 1;
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return Control(file, IOCTL_SERIAL_PURGE, &flags, sizeof flags); }

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  DWORD code;
  switch (function) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return Invalid();
  }
  return Control(file, code, nullptr, 0);
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD status) {
  if (!status) return Invalid();
  return Control(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, status, sizeof(DWORD));
}

BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties) {
  if (!properties) return Invalid();
  DWORD length = sizeof(COMMPROP);
  if (properties->dwProvSpec1 == COMMPROP_INITIALIZED && properties->wPacketLength > length)
    length = properties->wPacketLength;
  return Control(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties, length);
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  SERIAL_QUEUE_SIZE size{inQueue, outQueue};
  return Control(file, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size);
}

BOOL TransmitCommChar(HANDLE file, char ch) {
  UCHAR c = (UCHAR)ch;
  return Control(file, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c);
}

}  // namespace win32
