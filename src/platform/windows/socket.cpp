#include "platform/socket.h"

#include <cerrno>

#include <winsock2.h>

int sys_wait_connected(int sock, int timeout_ms) {
    const SOCKET s = static_cast<SOCKET>(sock);
    // A failed connect shows in the exception set, a finished one in the write
    // set; WSAPoll does not report a failed connect on every Windows version.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == SOCKET_ERROR) {
        errno = WSAGetLastError();
        return -1;
    }
    if (ready == 0)
        return 0;
    int err = 0;
    int len = sizeof(err);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        errno = WSAGetLastError();
        return -1;
    }
    if (err != 0 || FD_ISSET(s, &failed)) {
        errno = err != 0 ? err : WSAECONNREFUSED;
        return -1;
    }
    return 1;
}
