// The messages that cross between the link's threads and its owner, with the
// status kinds and error codes they carry.
#pragma once

#include "platform/win32.h"

// Link -> owner window (PostMessageA). wParam: status kind; lParam: error code
// for LINK_STATUS_ERROR, 0 for LINK_STATUS_DISCONNECTED.
#define WM_LINK_STATUS (WM_USER + 258)
// Link -> owner window. wParam: block of received bytes (LocalAlloc'd, exactly
// their size; the receiver frees it); lParam: their count, at least 1.
#define WM_LINK_DATA (WM_USER + 259)
// Owner -> writer thread (PostThreadMessageA). wParam: count, at least 1;
// lParam: block holding the packet (the writer frees it). Note the order:
// the opposite of WM_LINK_DATA's.
#define WM_LINK_SEND (WM_USER + 512)

enum LinkStatus {
  LINK_STATUS_ERROR = 1,
  LINK_STATUS_CONNECTED = 2,
  LINK_STATUS_DISCONNECTED = 3,
};

enum LinkError {
  LINK_ERR_BAD_HANDLE = 1,   // not a character device, or a port call met ERROR_INVALID_HANDLE
  LINK_ERR_NO_EVENT = 2,     // creating an event failed
  LINK_ERR_NO_THREAD = 3,    // creating a worker failed
  LINK_ERR_EVENT_MASK = 4,   // setting the port's event mask failed
  LINK_ERR_WRITER = 5,       // a write or one of the writer's waits failed
  LINK_ERR_READER = 6,       // a read, a reader's wait, a re-arm or an allocation failed
  LINK_ERR_GETCOMMSTATE = 7, // the handle is not a serial port: its line settings cannot be read
  LINK_ERR_LINE_EVENT = -1,  // a line-event wait ended without EV_ERR, or reading the error state failed
};
