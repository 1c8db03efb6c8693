#pragma once
// TDS framing for one client connection: reading whole request messages from
// packets, detecting attention (cancel) while a reply is being produced, and
// writing reply token streams split into packets of the negotiated size.
//
// A TTdsWire belongs to the connection's own thread. Every length that comes
// from the client is checked before it is used.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tds {

enum TPacketType : uint8_t {
    ptSqlBatch = 1,
    ptRpc = 3,
    ptReply = 4,
    ptAttention = 6,
    ptBulk = 7,
    ptTransMgr = 14,
    ptLogin7 = 16,
    ptPrelogin = 18,
};

// The client closed the connection or sent something that cannot be framed:
// the connection ends, the server goes on.
class TDisconnect : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Text helpers: TDS carries UTF-16LE, SQLite UTF-8.
std::string Utf16ToUtf8(const uint8_t* data, size_t units);
std::u16string Utf8ToUtf16(std::string_view text);
void AppendUtf8AsUtf16(std::vector<uint8_t>& out, std::string_view text);
size_t Utf16Length(std::string_view utf8);   // UTF-16 code units of a UTF-8 text

class TTdsWire {
public:
    explicit TTdsWire(int fd);

    struct TMessage {
        uint8_t Type = 0;
        uint8_t Status = 0;
        std::vector<uint8_t> Data;
        bool TooLarge = false;   // more than the limit arrived; Data holds only the start
    };

    // Reads one request (packets up to end-of-message). Returns false when the
    // client closed the connection between requests. Throws TDisconnect on a
    // broken frame, a stall in the middle of a message, or when no request
    // starts within idleTimeoutMs (-1: wait as long as it takes).
    bool ReadMessage(TMessage& msg, size_t maxBytes, int idleTimeoutMs = -1);

    // True when the client has sent an attention since the reply began (reads it).
    // Waits up to timeoutMs for one (0: just looks). Throws TDisconnect when the
    // client has gone away.
    bool PollAttention(int timeoutMs);
    bool AttentionSeen() const { return FAttention; }
    void ClearAttention() { FAttention = false; }

    // Reply side: tokens are appended to Out(); full packets go out as they fill.
    void SetPacketSize(int size);
    int PacketSize() const { return FPacketSize; }
    void SetLatency(int ms) { FLatencyMs = ms; }
    void SetSpid(uint16_t spid) { FSpid = spid; }

    void U8(uint8_t v) { FOut.push_back(v); }
    void U16(uint16_t v);
    void U32(uint32_t v);
    void U64(uint64_t v);
    void Bytes(const void* data, size_t n);
    void BVarChar(std::string_view utf8);    // 1-byte length in UTF-16 units
    void USVarChar(std::string_view utf8);   // 2-byte length in UTF-16 units
    void Utf16(std::string_view utf8) { AppendUtf8AsUtf16(FOut, utf8); }
    std::vector<uint8_t>& Out() { return FOut; }

    // Sends full packets when enough is buffered; call often while streaming rows.
    void MaybeFlush();
    // Sends everything buffered now, the last packet possibly short (RAISERROR ... WITH NOWAIT).
    void FlushNow();
    // Sends the rest of the reply with the end-of-message flag.
    void EndReply();

private:
    bool FillAtLeast(size_t n, bool betweenMessages, int idleTimeoutMs = -1);
    void SendPacket(const uint8_t* data, size_t n, bool last);
    void AppendPacket(std::vector<uint8_t>& to, const uint8_t* data, size_t n, bool last);
    void SendAll(const uint8_t* data, size_t n);
    void ApplyLatency();

    int FFd;
    std::vector<uint8_t> FIn;
    size_t FInPos = 0;
    std::vector<uint8_t> FOut;
    std::vector<uint8_t> FPacket;
    int FPacketSize = 4096;
    int FLatencyMs = 0;
    bool FReplyStarted = false;
    bool FAttention = false;
    uint16_t FSpid = 0;
    uint8_t FPacketId = 1;
};

}  // namespace tds
