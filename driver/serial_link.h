// The serial port the display hangs on: opening, line settings, time-outs
// and writes. The handle lives in g_driver.port.
#ifndef QV_DRIVER_SERIAL_LINK_H
#define QV_DRIVER_SERIAL_LINK_H

#include <stddef.h>

#include "driver/port_parameters.h"

// Opens the device exclusively and applies the line settings and time-outs.
// Returns null on success, or the error text (already in the debug log). After
// a configuration failure the port stays open until DISPLAYDLL_Done.
const char* OpenPort(const PortSettings* settings);

// Writes the bytes in one write. Returns the platform's success value, or
// DISPLAYDLL_WRITE_FAILED after logging the failure. A write cut short by its
// time-out is a failure too, described as a time-out.
int PortWrite(const void* bytes, size_t count);

#endif
