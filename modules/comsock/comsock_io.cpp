#include "comsock_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace ZELK::PSESVC::COMSOCK {

HRESULT ReadExact(int fd, void* buffer, size_t length)
{
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = recv(fd, p + done, length - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && done == 0)
            return COMSOCK_CLOSED;
        if (n < 0 && done == 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return COMSOCK_TIMEOUT;
        return E_ABORT;
    }
    return S_OK;
}

HRESULT WriteExact(int fd, const void* buffer, size_t length)
{
    if (length == 0)
        return S_OK;
    return WriteExact2(fd, buffer, length, nullptr, 0);
}

int64_t NowMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// Waits until `fd` is ready for `events` or `deadline` passes; false then.
bool WaitReady(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return false;
        pollfd ready {fd, events, 0};
        int n = poll(&ready, 1, static_cast<int>(left < 60000 ? left : 60000));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// Sends both parts whole; without a deadline each send may block.
HRESULT SendParts(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength,
                  const int64_t* deadline)
{
    iovec parts[2] = {{const_cast<void*>(first), firstLength}, {const_cast<void*>(second), secondLength}};
    iovec* part = parts;
    int count = secondLength ? 2 : 1;
    int flags = MSG_NOSIGNAL | (deadline ? MSG_DONTWAIT : 0);
    while (count > 0) {
        msghdr message {};
        message.msg_iov = part;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &message, flags);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (deadline && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT, *deadline))
                continue;
            return E_FAIL;
        }
        auto sent = static_cast<size_t>(n);
        while (count > 0 && sent >= part->iov_len) {
            sent -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<unsigned char*>(part->iov_base) + sent;
            part->iov_len -= sent;
        }
    }
    return S_OK;
}

}  // namespace

HRESULT ReadBy(int fd, void* buffer, size_t length, int64_t deadline)
{
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = recv(fd, p + done, length - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return done == 0 ? COMSOCK_CLOSED : E_ABORT;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return E_ABORT;
        if (!WaitReady(fd, POLLIN, deadline))
            return done == 0 ? COMSOCK_TIMEOUT : E_ABORT;
    }
    return S_OK;
}

ssize_t ReceiveSome(int fd, void* buffer, size_t length, int64_t deadline)
{
    for (;;) {
        ssize_t n = recv(fd, buffer, length, deadline ? MSG_DONTWAIT : 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (!deadline || (errno != EAGAIN && errno != EWOULDBLOCK) || !WaitReady(fd, POLLIN, deadline))
            return -1;
    }
}

HRESULT WriteBy(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength,
                int64_t deadline)
{
    return SendParts(fd, first, firstLength, second, secondLength, &deadline);
}

HRESULT WriteExact2(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength)
{
    return SendParts(fd, first, firstLength, second, secondLength, nullptr);
}

void CloseFd(int fd)
{
    if (fd < 0)
        return;
    int saved = errno;
    close(fd);
    errno = saved;
}

}  // namespace ZELK::PSESVC::COMSOCK
