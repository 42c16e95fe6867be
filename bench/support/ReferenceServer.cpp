#include "ReferenceServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t Crc16(const std::uint8_t *data, std::size_t size) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= std::uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

// The bytes between two flags, unescaped.
Bytes Unescape(const std::uint8_t *from, const std::uint8_t *to) {
    Bytes out;
    out.reserve(std::size_t(to - from));
    for (const std::uint8_t *p = from; p < to; ++p) {
        if (*p == 0x5E && p + 1 < to && (p[1] == 0x7D || p[1] == 0x5D)) {
            out.push_back(p[1] == 0x7D ? 0x7E : 0x5E);
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

void AppendEscaped(Bytes &out, std::uint8_t b) {
    if (b == 0x7E || b == 0x5E) {
        out.push_back(0x5E);
        out.push_back(b == 0x7E ? 0x7D : 0x5D);
    } else {
        out.push_back(b);
    }
}

// Handles one unescaped frame body (content + CRC); a valid heartbeat gets
// its reply appended to out.
void Handle(const Bytes &body, Bytes &out) {
    if (body.size() < 15)
        return;
    const std::size_t n = body.size() - 2;
    const std::uint16_t crc = Crc16(body.data(), n);
    if (body[n] != (crc & 0xFF) || body[n + 1] != (crc >> 8))
        return;
    // Serial, NP 80, apply 01, command EE, response FF: a heartbeat.
    if (n < 44 || body[9] != 0x80 || body[10] != 0x01 || body[11] != 0xEE || body[12] != 0xFF)
        return;
    Bytes reply(body.begin(), body.begin() + 9);
    reply.insert(reply.end(), {0x00, 0x01, 0xEE, 0x00});
    reply.insert(reply.end(), body.begin() + 13, body.begin() + 44);
    const std::uint16_t replyCrc = Crc16(reply.data(), reply.size());
    reply.push_back(std::uint8_t(replyCrc & 0xFF));
    reply.push_back(std::uint8_t(replyCrc >> 8));
    out.push_back(0x7E);
    for (std::uint8_t b : reply)
        AppendEscaped(out, b);
    out.push_back(0x7E);
}

// Cuts every complete frame out of the buffer and handles it.
void Cut(Bytes &buffer, Bytes &out) {
    std::size_t pos = 0;
    for (;;) {
        std::size_t start = pos;
        while (start < buffer.size() && buffer[start] != 0x7E)
            ++start;
        if (start >= buffer.size()) {
            pos = buffer.size();
            break;
        }
        std::size_t end = start + 1;
        while (end < buffer.size() && buffer[end] != 0x7E)
            ++end;
        if (end >= buffer.size()) {
            pos = start;
            break;
        }
        if (end - start + 1 < 5) { // a closing flag that opens the next frame
            pos = end;
            continue;
        }
        Handle(Unescape(buffer.data() + start + 1, buffer.data() + end), out);
        pos = end + 1;
    }
    buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(pos));
}

} // namespace

int RunReferenceServer(int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4096) != 0) {
        std::perror("reference server");
        return 1;
    }
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    std::unordered_map<int, Bytes> buffers;
    std::vector<epoll_event> ready(1024);
    std::uint8_t chunk[65536];
    Bytes out;
    for (;;) {
        const int n = ::epoll_wait(ep, ready.data(), int(ready.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                int c;
                while ((c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >=
                       0) {
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                    buffers[c];
                }
                continue;
            }
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                if (got < 0 && errno == EAGAIN)
                    continue;
                ::close(fd);
                buffers.erase(fd);
                continue;
            }
            Bytes &buffer = buffers[fd];
            buffer.insert(buffer.end(), chunk, chunk + got);
            out.clear();
            Cut(buffer, out);
            if (!out.empty()) {
                [[maybe_unused]] const ssize_t w = ::write(fd, out.data(), out.size());
            }
        }
    }
}
