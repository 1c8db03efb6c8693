// bench_sandbox_drain PORT "SQL": logs in as sa, sends one batch, reads the reply
// packets to their end without decoding rows, and prints bytes and seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Utf16(const std::string& s)
{
    TBytes out;
    for (char c : s) {
        out.push_back(uint8_t(c));
        out.push_back(0);
    }
    return out;
}

bool SendAll(int fd, const TBytes& b)
{
    size_t off = 0;
    while (off < b.size()) {
        const ssize_t n = ::send(fd, b.data() + off, b.size() - off, 0);
        if (n <= 0) return false;
        off += size_t(n);
    }
    return true;
}

bool SendMessage(int fd, uint8_t type, const TBytes& body)
{
    const size_t chunk = 4096 - 8;
    size_t off = 0;
    do {
        const size_t n = std::min(chunk, body.size() - off);
        const bool last = off + n >= body.size();
        TBytes p = {type, uint8_t(last ? 1 : 0), uint8_t((n + 8) >> 8), uint8_t((n + 8) & 0xFF), 0, 0, 1, 0};
        p.insert(p.end(), body.begin() + long(off), body.begin() + long(off + n));
        if (!SendAll(fd, p)) return false;
        off += n;
    } while (off < body.size());
    return true;
}

bool ReadExact(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

// Reads one reply message; returns its size or -1.
long long Reply(int fd, TBytes* keep)
{
    long long total = 0;
    std::vector<uint8_t> body(65536);
    for (;;) {
        uint8_t h[8];
        if (!ReadExact(fd, h, 8)) return -1;
        const size_t len = (size_t(h[2]) << 8) | h[3];
        if (len < 8) return -1;
        if (!ReadExact(fd, body.data(), len - 8)) return -1;
        if (keep) keep->insert(keep->end(), body.begin(), body.begin() + long(len - 8));
        total += (long long)len;
        if (h[1] & 1) return total;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_sandbox_drain PORT SQL\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::atoi(argv[1])));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        return 1;
    }
    const TBytes prelogin = {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF,
                             0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x02};
    SendMessage(fd, 18, prelogin);
    Reply(fd, nullptr);
    TBytes login(94, 0);
    const uint32_t version = 0x74000004, packet = 32767;
    std::memcpy(&login[4], &version, 4);
    std::memcpy(&login[8], &packet, 4);
    TBytes pwd = Utf16("Sandbox-2026");
    for (auto& c : pwd) c = uint8_t(((c << 4) | (c >> 4)) ^ 0xA5);
    const std::pair<size_t, TBytes> fields[] = {{40, Utf16("sa")}, {44, pwd}};
    for (const auto& [at, data] : fields) {
        const uint16_t off = uint16_t(login.size()), chars = uint16_t(data.size() / 2);
        std::memcpy(&login[at], &off, 2);
        std::memcpy(&login[at + 2], &chars, 2);
        login.insert(login.end(), data.begin(), data.end());
    }
    const uint32_t total = uint32_t(login.size());
    std::memcpy(&login[0], &total, 4);
    SendMessage(fd, 16, login);
    TBytes ack;
    if (Reply(fd, &ack) < 0 || std::find(ack.begin(), ack.end(), 0xAD) == ack.end()) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    TBytes batch = {22, 0, 0, 0, 18, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    const TBytes text = Utf16(argv[2]);
    batch.insert(batch.end(), text.begin(), text.end());
    const auto t0 = std::chrono::steady_clock::now();
    SendMessage(fd, 1, batch);
    const long long bytes = Reply(fd, nullptr);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    if (bytes < 0) {
        std::fprintf(stderr, "reply broken\n");
        return 1;
    }
    std::printf("%lld %.6f\n", bytes, secs);
    return 0;
}
