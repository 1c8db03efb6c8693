#include "untTdsWire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tds {

namespace {
constexpr int kMidMessageTimeoutMs = 60000;   // a client stalled inside a packet is dropped
constexpr size_t kHeader = 8;
}

std::string Utf16ToUtf8(const uint8_t* data, size_t units)
{
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = data[2 * i] | (data[2 * i + 1] << 8);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            uint32_t d = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (d >= 0xDC00 && d <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Decodes one code point; invalid sequences give U+FFFD and advance one byte.
static uint32_t NextCodePoint(std::string_view s, size_t& i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&](size_t k) -> int {
        if (i + k >= s.size()) return -1;
        const auto c = static_cast<unsigned char>(s[i + k]);
        return (c & 0xC0) == 0x80 ? (c & 0x3F) : -1;
    };
    if (b < 0x80) { ++i; return b; }
    if ((b & 0xE0) == 0xC0) {
        int c1 = cont(1);
        if (c1 >= 0) { i += 2; uint32_t cp = ((b & 0x1F) << 6) | c1; return cp >= 0x80 ? cp : 0xFFFD; }
    } else if ((b & 0xF0) == 0xE0) {
        int c1 = cont(1), c2 = cont(2);
        if (c1 >= 0 && c2 >= 0) {
            i += 3;
            uint32_t cp = ((b & 0x0F) << 12) | (c1 << 6) | c2;
            return (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) ? cp : 0xFFFD;
        }
    } else if ((b & 0xF8) == 0xF0) {
        int c1 = cont(1), c2 = cont(2), c3 = cont(3);
        if (c1 >= 0 && c2 >= 0 && c3 >= 0) {
            i += 4;
            uint32_t cp = ((b & 0x07) << 18) | (c1 << 12) | (c2 << 6) | c3;
            return (cp >= 0x10000 && cp <= 0x10FFFF) ? cp : 0xFFFD;
        }
    }
    ++i;
    return 0xFFFD;
}

void AppendUtf8AsUtf16(std::vector<uint8_t>& out, std::string_view text)
{
    // A UTF-8 text never has more UTF-16 units than bytes: size once, write, trim.
    const size_t start = out.size();
    out.resize(start + text.size() * 2);
    uint8_t* p = out.data() + start;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            *p++ = b;
            *p++ = 0;
            ++i;
            continue;
        }
        uint32_t cp = NextCodePoint(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            const uint16_t hi = uint16_t(0xD800 + (cp >> 10)), lo = uint16_t(0xDC00 + (cp & 0x3FF));
            *p++ = uint8_t(hi & 0xFF); *p++ = uint8_t(hi >> 8);
            *p++ = uint8_t(lo & 0xFF); *p++ = uint8_t(lo >> 8);
        } else {
            *p++ = uint8_t(cp & 0xFF);
            *p++ = uint8_t(cp >> 8);
        }
    }
    out.resize(size_t(p - out.data()));
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::vector<uint8_t> bytes;
    AppendUtf8AsUtf16(bytes, text);
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

size_t Utf16Length(std::string_view text)
{
    size_t n = 0, i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) { ++i; ++n; continue; }
        n += NextCodePoint(text, i) >= 0x10000 ? 2 : 1;
    }
    return n;
}

TTdsWire::TTdsWire(int fd) : FFd(fd)
{
    FOut.reserve(64 * 1024);
}

bool TTdsWire::FillAtLeast(size_t n, bool betweenMessages, int idleTimeoutMs)
{
    if (FInPos > 0 && FInPos == FIn.size()) {
        FIn.clear();
        FInPos = 0;
    }
    while (FIn.size() - FInPos < n) {
        const bool idle = betweenMessages && FIn.size() == FInPos;
        pollfd p{FFd, POLLIN, 0};
        const int r = ::poll(&p, 1, idle ? idleTimeoutMs : kMidMessageTimeoutMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw TDisconnect(std::string("poll failed: ") + std::strerror(errno));
        }
        if (r == 0)
            throw TDisconnect(idle ? "no request in time" : "client stalled in the middle of a packet");
        uint8_t buf[65536];
        const ssize_t got = ::recv(FFd, buf, sizeof buf, 0);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw TDisconnect(std::string("receive failed: ") + std::strerror(errno));
        }
        if (got == 0) {
            if (idle) return false;
            throw TDisconnect("client closed the connection in the middle of a packet");
        }
        FIn.insert(FIn.end(), buf, buf + got);
    }
    return true;
}

bool TTdsWire::ReadMessage(TMessage& msg, size_t maxBytes, int idleTimeoutMs)
{
    msg.Data.clear();
    msg.TooLarge = false;
    bool first = true;
    for (;;) {
        if (!FillAtLeast(kHeader, first, idleTimeoutMs))
            return false;
        const uint8_t* h = FIn.data() + FInPos;
        const uint8_t type = h[0], status = h[1];
        const size_t length = (size_t(h[2]) << 8) | h[3];
        if (length < kHeader)
            throw TDisconnect("packet length " + std::to_string(length) + " is shorter than its header");
        if (length > 32768)
            throw TDisconnect("packet length " + std::to_string(length) + " is larger than any packet size");
        if (type != ptSqlBatch && type != ptRpc && type != ptAttention && type != ptBulk && type != ptTransMgr &&
            type != ptLogin7 && type != ptPrelogin)
            throw TDisconnect("unknown packet type " + std::to_string(type));
        if (first) {
            msg.Type = type;
            msg.Status = status;
        } else if (type != msg.Type) {
            throw TDisconnect("packet type changed inside a message");
        }
        if (!FillAtLeast(length, false))
            return false;
        const uint8_t* body = FIn.data() + FInPos + kHeader;
        const size_t bodyLen = length - kHeader;
        if (msg.Data.size() + bodyLen <= maxBytes)
            msg.Data.insert(msg.Data.end(), body, body + bodyLen);
        else
            msg.TooLarge = true;
        FInPos += length;
        first = false;
        if (status & 0x01)
            break;
        if (type == ptAttention)
            break;
    }
    FReplyStarted = false;
    FAttention = false;
    FPacketId = 1;
    return true;
}

bool TTdsWire::PollAttention(int timeoutMs)
{
    if (FAttention)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (FIn.size() > FInPos) {
            if (!FillAtLeast(kHeader, false))
                throw TDisconnect("client went away");
            const uint8_t* h = FIn.data() + FInPos;
            const size_t length = (size_t(h[2]) << 8) | h[3];
            if (h[0] != ptAttention)
                throw TDisconnect("client sent a new request before the reply ended");
            if (length < kHeader)
                throw TDisconnect("attention packet with a bad length");
            if (!FillAtLeast(length, false))
                throw TDisconnect("client went away");
            FInPos += length;
            FAttention = true;
            return true;
        }
        int wait = 0;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            wait = int(left);
        }
        pollfd p{FFd, POLLIN, 0};
        const int r = ::poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw TDisconnect("poll failed");
        }
        if (r == 0)
            return false;
        uint8_t buf[4096];
        const ssize_t got = ::recv(FFd, buf, sizeof buf, 0);
        if (got == 0)
            throw TDisconnect("client closed the connection while a reply was pending");
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw TDisconnect("receive failed");
        }
        FIn.insert(FIn.end(), buf, buf + got);
    }
}

void TTdsWire::SetPacketSize(int size)
{
    FPacketSize = size < 512 ? 512 : (size > 32767 ? 32767 : size);
}

void TTdsWire::U16(uint16_t v)
{
    const uint8_t b[2] = {uint8_t(v & 0xFF), uint8_t(v >> 8)};
    FOut.insert(FOut.end(), b, b + 2);
}

void TTdsWire::U32(uint32_t v)
{
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    FOut.insert(FOut.end(), b, b + 4);
}

void TTdsWire::U64(uint64_t v)
{
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
    FOut.insert(FOut.end(), b, b + 8);
}

void TTdsWire::Bytes(const void* data, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(data);
    FOut.insert(FOut.end(), p, p + n);
}

void TTdsWire::BVarChar(std::string_view utf8)
{
    std::vector<uint8_t> tmp;
    AppendUtf8AsUtf16(tmp, utf8);
    size_t units = tmp.size() / 2;
    if (units > 255) units = 255;
    U8(uint8_t(units));
    Bytes(tmp.data(), units * 2);
}

void TTdsWire::USVarChar(std::string_view utf8)
{
    std::vector<uint8_t> tmp;
    AppendUtf8AsUtf16(tmp, utf8);
    size_t units = tmp.size() / 2;
    if (units > 65535) units = 65535;
    U16(uint16_t(units));
    Bytes(tmp.data(), units * 2);
}

void TTdsWire::ApplyLatency()
{
    if (!FReplyStarted) {
        FReplyStarted = true;
        if (FLatencyMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(FLatencyMs));
    }
}

void TTdsWire::SendAll(const uint8_t* data, size_t n)
{
    while (n > 0) {
        const ssize_t sent = ::send(FFd, data, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            throw TDisconnect(std::string("send failed: ") + std::strerror(errno));
        }
        data += sent;
        n -= size_t(sent);
    }
}

void TTdsWire::AppendPacket(std::vector<uint8_t>& to, const uint8_t* data, size_t n, bool last)
{
    const size_t length = n + kHeader;
    const uint8_t h[8] = {ptReply, uint8_t(last ? 0x01 : 0x00), uint8_t(length >> 8), uint8_t(length & 0xFF),
                          uint8_t(FSpid >> 8), uint8_t(FSpid & 0xFF), FPacketId++, 0};
    to.insert(to.end(), h, h + 8);
    to.insert(to.end(), data, data + n);
}

void TTdsWire::SendPacket(const uint8_t* data, size_t n, bool last)
{
    ApplyLatency();
    FPacket.clear();
    AppendPacket(FPacket, data, n, last);
    SendAll(FPacket.data(), FPacket.size());
}

void TTdsWire::MaybeFlush()
{
    const size_t body = size_t(FPacketSize) - kHeader;
    if (FOut.size() < 64 * 1024 && FOut.size() < body * 4)
        return;
    // Full packets go out together in one write.
    ApplyLatency();
    FPacket.clear();
    size_t pos = 0;
    while (FOut.size() - pos > body) {
        AppendPacket(FPacket, FOut.data() + pos, body, false);
        pos += body;
    }
    SendAll(FPacket.data(), FPacket.size());
    FOut.erase(FOut.begin(), FOut.begin() + long(pos));
}

void TTdsWire::FlushNow()
{
    if (FOut.empty())
        return;
    const size_t body = size_t(FPacketSize) - kHeader;
    ApplyLatency();
    FPacket.clear();
    for (size_t pos = 0; pos < FOut.size(); pos += body)
        AppendPacket(FPacket, FOut.data() + pos, std::min(body, FOut.size() - pos), false);
    SendAll(FPacket.data(), FPacket.size());
    FOut.clear();
}

void TTdsWire::EndReply()
{
    const size_t body = size_t(FPacketSize) - kHeader;
    size_t pos = 0;
    while (FOut.size() - pos > body) {
        SendPacket(FOut.data() + pos, body, false);
        pos += body;
    }
    SendPacket(FOut.data() + pos, FOut.size() - pos, true);
    FOut.clear();
    FReplyStarted = false;
}

}  // namespace tds
