#include "platform/socket.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

int sys_wait_connected(int sock, int timeout_ms) {
    pollfd pfd{sock, POLLOUT, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    // Writable or in error: the connect is over either way; SO_ERROR says how.
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 1;
}
