#include "comsock_io.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

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

HRESULT WriteExact2(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength)
{
    iovec parts[2] = {{const_cast<void*>(first), firstLength}, {const_cast<void*>(second), secondLength}};
    iovec* part = parts;
    int count = secondLength ? 2 : 1;
    while (count > 0) {
        msghdr message {};
        message.msg_iov = part;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
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

HRESULT WriteExact(int fd, const void* buffer, size_t length)
{
    if (length == 0)
        return S_OK;
    return WriteExact2(fd, buffer, length, nullptr, 0);
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
