#pragma once

// The device link's C interface: scan for "IQOS ILUMA i ONE" devices (USB vendor 10073,
// product 3), open one by serial, exchange one command frame, read the usage history, close.
//
// Threads: every call for one connection, from iq_open_checked to iq_close, runs on the one
// thread that owns the connection (the device queue). iq_cancel_io and iq_connection_epoch
// may be called from any thread. Only one exchange may be outstanding at a time.
//
// Result codes (int32_t):
//   >= 6 (iq_exchange)      reply length, reply copied into the caller's buffer
//   0                       success (iq_open_checked)
//   IQ_NO_DEVICE     -1     no open device, no device with that serial, no backend installed,
//                           or the connection epoch is stale (before sending or while waiting)
//   IQ_BAD_ARGUMENT  -2     request length outside 6 .. 64 (or a null buffer)
//   IQ_TIMEOUT       -3     no matching reply within the wait
//   IQ_DEVICE_FAILED -4     the device reported failure (history)
//   IQ_MALFORMED     -5     malformed history data
//   any other nonzero       a platform status, see below
//
// Platform status codes. On Linux a failing open, write or read reports an errno value. It is
// passed on as IQ_STATUS_FROM_ERRNO(errno) = -1000 - errno, which can never be mistaken for a
// reply length or for -1 .. -5. IQ_STATUS_IS_ERRNO tells such a code apart and IQ_STATUS_ERRNO
// recovers the errno, so a caller can recognise EACCES (no permission on the hidraw node: the
// udev rule is missing) or ENODEV (the device went away). A failure without an errno is
// reported as EIO.

#include <stdint.h>

#define IQ_NO_DEVICE (-1)
#define IQ_BAD_ARGUMENT (-2)
#define IQ_TIMEOUT (-3)
#define IQ_DEVICE_FAILED (-4)
#define IQ_MALFORMED (-5)

#define IQ_ERRNO_STATUS_BASE (-1000)
#define IQ_STATUS_FROM_ERRNO(e) ((int32_t)(IQ_ERRNO_STATUS_BASE - (int32_t)(e)))
#define IQ_STATUS_IS_ERRNO(s) ((s) < IQ_ERRNO_STATUS_BASE && (s) > IQ_ERRNO_STATUS_BASE - 100000)
#define IQ_STATUS_ERRNO(s) ((int)(IQ_ERRNO_STATUS_BASE - (s)))

#ifdef __cplusplus
extern "C" {
#endif

// One line "serial\tproduct\tmanufacturer\n" per matching device, in listing order; tabs and
// line feeds inside a field are folded to spaces. Never null; the text stays valid until the
// next iq_scan. Fields longer than 255 bytes are cut; the whole text stays below 8,192 bytes.
const char* iq_scan(void);

// iq_open_checked with the current global epoch.
int32_t iq_open(const char* serial);

// Opens the device whose (folded) serial equals `serial`, closing any open one first. Fails
// with -1 when `epoch` is not the global epoch, at the start or after the search.
int32_t iq_open_checked(const char* serial, uint32_t epoch);

// Closes the open device, if any.
void iq_close(void);

// Sends `length` request bytes (6 .. 64, padded to a 64-byte report with ID 0x3F) and waits up
// to 2.0 s for the reply with the same command key, hop bits and flag bit. `reply` must hold 64
// bytes. Returns the reply length or a result code above.
int32_t iq_exchange(const uint8_t* request, uint32_t length, uint8_t* reply);

// Any thread. Makes every connection opened under an older epoch unusable; a pending wait ends
// with -1 within one 20 ms slice.
void iq_cancel_io(void);

// Any thread.
uint32_t iq_connection_epoch(void);

// Reads the 34-byte history catalogue into `out` (at least 34 bytes); returns 34.
int32_t iq_history_catalog(uint8_t* out);

// Reads one history entry into `out` (at least 255 bytes); returns the entry length.
int32_t iq_history_entry(uint32_t directory, uint32_t position, uint8_t* out);

#ifdef __cplusplus
}
#endif
