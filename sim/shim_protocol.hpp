// SPDX-License-Identifier: GPL-2.0-or-later
// How a shim reports a call to its world: one request on a unix stream
// socket, answered once the world has recorded it.
//   request: uint32 length, then '\0'-terminated fields: name, pid, uid, umask, args...
//   reply:   int32 exit status for the shim (sudo runs its command instead)
#pragma once

inline constexpr char SHIM_SOCKET_ENV[] = "BEXO_SIM_SHIM_SOCKET";
inline constexpr unsigned SHIM_MAX_REQUEST = 1u << 20;
