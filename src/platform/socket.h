#pragma once

// Sockets of the MQTT client library, watched from outside the library.

// Waits up to `timeout_ms` for the TCP connect that was started without
// blocking on `sock` to complete. Returns 1 once it is connected, 0 while it is
// still under way, and -1 when it failed; errno then holds the system's error
// code (also on Windows, as the MQTT library reports it).
int sys_wait_connected(int sock, int timeout_ms);
