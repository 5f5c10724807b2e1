// Lets native tests make one platform call fail the way Windows can, where a
// real device cannot be made to (a port that refuses its time-outs, say).
// Linked into the native build only; the library exports none of it.
#ifndef QV_PLATFORM_POSIX_FAULT_INJECTION_H
#define QV_PLATFORM_POSIX_FAULT_INJECTION_H

#include <termios.h>

#include "platform/posix/win32_api.h"

enum PlatformCall {
  kPlatformCreateFile,
  kPlatformGetCommState,
  kPlatformSetCommState,
  kPlatformSetCommTimeouts,
  kPlatformWriteFile,
  kPlatformCallCount
};

// The next call of `call` fails with `error` as its last error, once.
void PlatformFailNextCall(PlatformCall call, DWORD error);
// The same for the call of `call` after the next `calls` ones, which succeed.
void PlatformFailCallAfter(PlatformCall call, int calls, DWORD error);
// The next WriteFile sends at most `keep` bytes and reports success with that
// count, as a write does whose time-out runs out; once.
void PlatformCutNextWrite(DWORD keep);
// Disarms every fault and forgets the records below.
void PlatformClearFaults(void);

// The records last handed to SetCommState and SetCommTimeouts, as the driver
// passed them (zero before any call): what a real port would be set to, also
// where a pseudo-terminal ignores part of it.
DCB PlatformLastCommState(void);
COMMTIMEOUTS PlatformLastCommTimeouts(void);

// The terminal settings the last SetCommState asked for (zero before any):
// the line record turned into termios flags.
struct termios PlatformLastTermios(void);
// The first GetCommState after the next SetCommState reports the c_cflag
// bits under `mask` as `flags` has them and, when `baud` is not 0, that
// speed: as a device that kept part of what it had, or made a speed near the
// one asked for, while reporting success; once.
void PlatformAlterNextReadBack(tcflag_t mask, tcflag_t flags, DWORD baud);
// While on, a pseudo-terminal reports its character size and parity as the
// terminal has them (the kernel keeps it at 8 bits without parity), as a
// real serial device reports what it holds.
void PlatformTreatPtysAsSerial(bool on);

// Whether SetCommState can set this speed (termios has it).
bool PlatformTakesSpeed(DWORD baud);

// The Windows error number the layer reports for a system error number.
DWORD PlatformErrorFromErrno(int code);

// ---- For fuzz targets and benchmarks, which name ports at random or write
// beside the driver.
// While `device` is not null, every port opening goes to that device
// instead of the one named (so no name can reach a real device); null ends it.
void PlatformRedirectPorts(const char* device);
// The descriptor behind an open port handle, -1 for anything else.
int PlatformPortDescriptor(HANDLE handle);
// While on, WriteFile on an open port hands its bytes, whole and at once, to
// an in-memory record instead of the device (the time-outs never run out);
// the port opens, takes its settings and closes as always, and the faults
// above still apply. So what a call sent is known exactly when it returns,
// with no wait for a terminal to pass the bytes on. Either way the record is
// emptied.
void PlatformRecordWrites(bool on);
// Copies the bytes recorded since the last take (at most `size`, and at most
// the record's 64 KiB) to `bytes`, empties the record, and returns how many
// bytes were handed over in all.
size_t PlatformTakeRecordedWrites(char* bytes, size_t size);

#endif
