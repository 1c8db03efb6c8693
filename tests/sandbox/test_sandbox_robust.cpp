// Bad input: malformed, truncated and oversized traffic, and clients that
// vanish. The sandbox drops or refuses the one connection and serves the rest.

#include "TSandboxServer.h"
#include "untOdbcProbe.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;

class TRawClient {
public:
    explicit TRawClient(int port)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~TRawClient() { Close(); }
    void Close()
    {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    bool Send(const TBytes& b)
    {
        size_t off = 0;
        while (off < b.size()) {
            const ssize_t n = ::send(FFd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += size_t(n);
        }
        return true;
    }
    // Sends a message as packets of at most 4096 bytes.
    bool SendMessage(uint8_t type, const TBytes& body)
    {
        const size_t chunk = 4096 - 8;
        size_t off = 0;
        do {
            const size_t n = std::min(chunk, body.size() - off);
            const bool last = off + n >= body.size();
            TBytes p = {type, uint8_t(last ? 1 : 0), uint8_t((n + 8) >> 8), uint8_t((n + 8) & 0xFF), 0, 0, 1, 0};
            p.insert(p.end(), body.begin() + long(off), body.begin() + long(off + n));
            if (!Send(p)) return false;
            off += n;
        } while (off < body.size());
        return true;
    }
    // Reads one reply message; empty when the server closed the connection.
    TBytes Reply(int timeoutMs = 10000)
    {
        TBytes out;
        for (;;) {
            uint8_t h[8];
            if (!ReadExact(h, 8, timeoutMs)) return {};
            const size_t len = (size_t(h[2]) << 8) | h[3];
            if (len < 8) return {};
            Spid = (int(h[4]) << 8) | h[5];
            TBytes body(len - 8);
            if (!ReadExact(body.data(), body.size(), timeoutMs)) return {};
            out.insert(out.end(), body.begin(), body.end());
            if (h[1] & 1) return out;
        }
    }
    // Reads a single packet of a reply (and its header's session id and status).
    bool ReadPacket(int timeoutMs = 10000, TBytes* body = nullptr)
    {
        uint8_t h[8];
        if (!ReadExact(h, 8, timeoutMs)) return false;
        const size_t len = (size_t(h[2]) << 8) | h[3];
        if (len < 8) return false;
        Spid = (int(h[4]) << 8) | h[5];
        LastStatus = h[1];
        TBytes data(len - 8);
        if (!ReadExact(data.data(), data.size(), timeoutMs)) return false;
        if (body) *body = std::move(data);
        return true;
    }
    int LastStatus = 0;
    // True when the server has closed the connection (reads and discards data).
    bool ClosedByServer(int timeoutMs = 10000)
    {
        for (;;) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return false;
            uint8_t buf[4096];
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
    }
    bool Connected = false;
    int Spid = 0;   // the server's session id, from the last reply header

private:
    bool ReadExact(uint8_t* p, size_t n, int timeoutMs)
    {
        while (n > 0) {
            pollfd pf{FFd, POLLIN, 0};
            if (::poll(&pf, 1, timeoutMs) <= 0) return false;
            const ssize_t got = ::recv(FFd, p, n, 0);
            if (got <= 0) return false;
            p += got;
            n -= size_t(got);
        }
        return true;
    }
    int FFd = -1;
};

void PutU16(TBytes& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v & 0xFF);
    b[at + 1] = uint8_t(v >> 8);
}

TBytes Utf16(const std::string& s)
{
    TBytes out;
    for (char c : s) {
        out.push_back(uint8_t(c));
        out.push_back(0);
    }
    return out;
}

TBytes Prelogin()
{
    // VERSION and ENCRYPTION (off), then the terminator.
    return {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF, 0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x00};
}

TBytes Login7(const std::string& user, const std::string& password)
{
    TBytes b(94, 0);
    const uint32_t version = 0x74000004;
    std::memcpy(&b[4], &version, 4);
    const uint32_t packet = 4096;
    std::memcpy(&b[8], &packet, 4);
    TBytes pwd = Utf16(password);
    for (auto& c : pwd) {
        c = uint8_t((c << 4) | (c >> 4));
        c ^= 0xA5;
    }
    const std::vector<std::pair<size_t, TBytes>> fields = {{36, Utf16("host")}, {40, Utf16(user)}, {44, pwd}, {48, Utf16("raw")}};
    for (const auto& [at, data] : fields) {
        PutU16(b, at, uint16_t(b.size()));
        PutU16(b, at + 2, uint16_t(data.size() / 2));
        b.insert(b.end(), data.begin(), data.end());
    }
    const uint32_t total = uint32_t(b.size());
    std::memcpy(&b[0], &total, 4);
    return b;
}

TBytes Batch(const std::string& sql)
{
    TBytes b = {22, 0, 0, 0, 18, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    const TBytes text = Utf16(sql);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

bool HasToken(const TBytes& reply, uint8_t token)
{
    return std::find(reply.begin(), reply.end(), token) != reply.end();
}

class SandboxRobust : public ::testing::Test {
protected:
    void SetUp() override { Server = std::make_unique<TSandboxServer>(); }

    // The real check after each abuse: a normal client still gets a normal answer.
    void ExpectServing()
    {
        TOdbcProbe p;
        std::vector<TOdbcDiag> diags;
        ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(Server->Port()), &diags)) << Server->Output().toStdString();
        const TOdbcBatch b = p.Exec("SELECT 40 + 2");
        ASSERT_EQ(b.Sets().size(), 1u) << b.DiagText();
        EXPECT_EQ(b.Sets()[0].Rows[0][0].value_or(""), "42");
    }

    bool LoggedIn(TRawClient& c)
    {
        if (!c.SendMessage(18, Prelogin()) || c.Reply().empty()) return false;
        if (!c.SendMessage(16, Login7("sa", "Sandbox-2026"))) return false;
        const TBytes r = c.Reply();
        return HasToken(r, 0xAD);
    }

    std::unique_ptr<TSandboxServer> Server;
};

TEST_F(SandboxRobust, MalformedFramesDropOnlyThatConnection)
{
    const std::vector<TBytes> abuses = {
        TBytes(64, 0xEE),                                      // not TDS at all
        {18, 1, 0, 4, 0, 0, 0, 0},                             // length shorter than the header
        {18, 0, 0xFF, 0xFF, 0, 0, 0, 0, 1, 2, 3},              // promises 64 KB, then stops
        {18, 1, 0, 13, 0, 0, 0, 0, 0x00, 0xFF, 0xF0, 0x00, 0x06},   // PRELOGIN option beyond the end
        {1, 1, 0, 12, 0, 0, 0, 0, 'S', 0, 'E', 0},             // SQL before login
        {16, 1, 0, 20, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},   // LOGIN7 far too short
    };
    for (size_t i = 0; i < abuses.size(); ++i) {
        TRawClient c(Server->Port());
        ASSERT_TRUE(c.Connected);
        c.Send(abuses[i]);
        if (i == 2) c.Close();   // vanishes mid-packet
        else EXPECT_TRUE(c.ClosedByServer()) << "case " << i;
    }
    ExpectServing();
}

TEST_F(SandboxRobust, LoginWithGarbageFieldsIsRefused)
{
    {
        TRawClient c(Server->Port());
        ASSERT_TRUE(c.SendMessage(18, Prelogin()));
        ASSERT_FALSE(c.Reply().empty());
        TBytes login = Login7("sa", "Sandbox-2026");
        PutU16(login, 40, 60000);   // user name offset far outside the record
        PutU16(login, 42, 300);
        ASSERT_TRUE(c.SendMessage(16, login));
        EXPECT_TRUE(c.ClosedByServer());
    }
    {
        TRawClient c(Server->Port());
        ASSERT_TRUE(c.SendMessage(18, Prelogin()));
        ASSERT_FALSE(c.Reply().empty());
        ASSERT_TRUE(c.SendMessage(16, Login7("sa", "wrong")));
        const TBytes r = c.Reply();
        EXPECT_TRUE(HasToken(r, 0xAA));    // ERROR token
        EXPECT_FALSE(HasToken(r, 0xAD));   // no LOGINACK
        EXPECT_TRUE(c.ClosedByServer());
    }
    ExpectServing();
}

TEST_F(SandboxRobust, BadRequestsAfterLoginAreAnsweredOrDropped)
{
    TRawClient c(Server->Port());
    ASSERT_TRUE(LoggedIn(c));
    // ALL_HEADERS claiming more bytes than the request has: an error, the connection stays.
    TBytes bad = Batch("SELECT 1");
    bad[0] = 0xFF;
    bad[1] = 0xFF;
    ASSERT_TRUE(c.SendMessage(1, bad));
    TBytes r = c.Reply();
    EXPECT_TRUE(HasToken(r, 0xAA));
    // Odd-length UTF-16 text and lone surrogates are still answered.
    TBytes odd = Batch("SELECT 7");
    odd.push_back(0x00);
    odd.push_back(0xD8);
    odd.push_back(0x41);
    ASSERT_TRUE(c.SendMessage(1, odd));
    r = c.Reply();
    EXPECT_FALSE(r.empty());
    // RPC and transaction-manager requests cut short.
    ASSERT_TRUE(c.SendMessage(3, TBytes{22, 0, 0, 0, 18, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF}));
    EXPECT_TRUE(HasToken(c.Reply(), 0xAA));
    ASSERT_TRUE(c.SendMessage(14, TBytes{22, 0, 0, 0, 18, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(HasToken(c.Reply(), 0xAA));
    // The connection still runs queries.
    ASSERT_TRUE(c.SendMessage(1, Batch("SELECT 1")));
    r = c.Reply();
    EXPECT_TRUE(HasToken(r, 0x81));
    ExpectServing();
}

TEST_F(SandboxRobust, HugeBatchIsRefusedWithAnError)
{
    TRawClient c(Server->Port());
    ASSERT_TRUE(LoggedIn(c));
    std::string sql = "SELECT '";
    sql.append(25u << 20, 'x');   // 50 MB of UTF-16
    sql += "'";
    ASSERT_TRUE(c.SendMessage(1, Batch(sql)));
    const TBytes r = c.Reply(30000);
    EXPECT_TRUE(r.empty() || HasToken(r, 0xAA));
    ExpectServing();
}

TEST_F(SandboxRobust, DeeplyNestedBatchesAreRefused)
{
    auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    const std::vector<std::string> batches = {
        repeat("BEGIN\n", 100000) + "SELECT 1\n" + repeat("END\n", 100000),
        "SELECT " + repeat("CAST(", 50000) + "1" + repeat(" AS int)", 50000),
        "SELECT 1" + repeat("/(1", 50000) + repeat(")", 50000),
        repeat("IF 1=1 ", 50000) + "SELECT 1",
        "SELECT " + repeat("(", 50000) + "1" + repeat(")", 50000),
    };
    TOdbcProbe p;
    ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(Server->Port())));
    for (size_t i = 0; i < batches.size(); ++i) {
        const TOdbcBatch b = p.Exec(batches[i]);
        EXPECT_TRUE(b.HasNative(191)) << "case " << i << "\n" << b.DiagText();
    }
    ExpectServing();
}

TEST_F(SandboxRobust, ClientVanishingMidResultDoesNotHurt)
{
    {
        TRawClient c(Server->Port());
        ASSERT_TRUE(LoggedIn(c));
        ASSERT_TRUE(c.SendMessage(1, Batch("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000000) "
                                           "SELECT i, 'some text to fill the packets' FROM n")));
        uint8_t h[8];
        (void)h;
        c.Close();
    }
    {
        // Stalled half-way through a header while others are served.
        TRawClient stalled(Server->Port());
        ASSERT_TRUE(stalled.Send(TBytes{18, 0, 0}));
        ExpectServing();
    }
    ExpectServing();
}

TEST_F(SandboxRobust, RequiredEncryptionIsRefusedClearly)
{
    TRawClient c(Server->Port());
    TBytes p = Prelogin();
    p[17] = 0x03;   // ENCRYPT_REQ
    ASSERT_TRUE(c.SendMessage(18, p));
    const TBytes r = c.Reply();
    ASSERT_GE(r.size(), 11u);
    // The ENCRYPTION option of the answer says "not supported" (2), and the connection ends.
    size_t at = 0;
    for (size_t i = 0; i + 5 <= r.size() && r[i] != 0xFF; i += 5)
        if (r[i] == 1) at = (size_t(r[i + 1]) << 8) | r[i + 2];
    ASSERT_GT(at, 0u);
    EXPECT_EQ(r[at], 2);
    EXPECT_TRUE(c.ClosedByServer());
    ExpectServing();
}

TEST_F(SandboxRobust, AttentionStopsAStreamingResult)
{
    TRawClient c(Server->Port());
    ASSERT_TRUE(LoggedIn(c));
    ASSERT_TRUE(c.SendMessage(1, Batch("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000000) "
                                       "SELECT i, 'row text' FROM n")));
    ASSERT_TRUE(c.SendMessage(6, {}));
    // The reply ends with a DONE token whose status has the attention bit (0x20).
    bool acknowledged = false;
    for (int i = 0; i < 5000 && !acknowledged; ++i) {
        const TBytes r = c.Reply(20000);
        ASSERT_FALSE(r.empty());
        acknowledged = r.size() >= 13 && r[r.size() - 13] == 0xFD && (r[r.size() - 12] & 0x20);
    }
    EXPECT_TRUE(acknowledged);
    ASSERT_TRUE(c.SendMessage(1, Batch("SELECT 1")));
    EXPECT_TRUE(HasToken(c.Reply(), 0x81));
}

TEST_F(SandboxRobust, KillMidResultInsideATransactionFreesItsLocks)
{
    TOdbcProbe killer;
    ASSERT_TRUE(killer.Connect(TOdbcProbe::ConnStr(Server->Port())));
    ASSERT_TRUE(killer.Exec("CREATE TABLE lk (id int)").Ok);
    TRawClient victim(Server->Port());
    ASSERT_TRUE(LoggedIn(victim));
    ASSERT_TRUE(victim.SendMessage(1, Batch("BEGIN TRAN; INSERT INTO lk VALUES (1); "
                                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000000) "
                                            "SELECT i, 'text to fill the socket' FROM n")));
    ASSERT_TRUE(victim.ReadPacket());
    ASSERT_GT(victim.Spid, 0);
    // The victim streams into a socket nobody reads; KILL ends it at once.
    const TOdbcBatch k = killer.Exec("KILL " + std::to_string(victim.Spid));
    ASSERT_TRUE(k.Ok) << k.DiagText();
    // Its transaction is gone with it: no lock is left behind for writers.
    const TOdbcBatch w = killer.Exec("INSERT INTO lk VALUES (2); SELECT COUNT(*) FROM lk");
    ASSERT_TRUE(w.Ok) << w.DiagText();
    ASSERT_EQ(w.Sets().size(), 1u);
    EXPECT_EQ(w.Sets()[0].Rows[0][0].value_or(""), "1");
}

TEST_F(SandboxRobust, NowaitMessagesArriveBeforeTheBatchEnds)
{
    TRawClient c(Server->Port());
    ASSERT_TRUE(LoggedIn(c));
    ASSERT_TRUE(c.SendMessage(1, Batch("RAISERROR('early news', 0, 1) WITH NOWAIT; WAITFOR DELAY '00:01:00'")));
    // The message comes in a packet of its own while the batch still waits.
    TBytes first;
    ASSERT_TRUE(c.ReadPacket(20000, &first));
    EXPECT_EQ(c.LastStatus & 1, 0);     // not the end of the reply
    EXPECT_TRUE(HasToken(first, 0xAB));  // INFO
    ASSERT_TRUE(c.SendMessage(6, {}));   // cancel the wait
    const TBytes rest = c.Reply(20000);
    ASSERT_GE(rest.size(), 13u);
    EXPECT_TRUE(rest[rest.size() - 12] & 0x20);   // DONE with the attention bit
}

TEST(SandboxLifecycle, StopRollsBackOpenTransactionsAndKeepsCommittedData)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TSandboxServer::TOptions options;
    options.DataDir = dir.path() + "/data";
    {
        TSandboxServer server(options);
        TOdbcProbe p;
        ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(server.Port())));
        ASSERT_TRUE(p.Exec("CREATE TABLE keep (id int); INSERT INTO keep VALUES (1); BEGIN TRAN; INSERT INTO keep VALUES (2)").Ok);
        server.Stop();   // SIGTERM while the transaction is open
    }
    TSandboxServer again(options);
    TOdbcProbe p;
    ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(again.Port())));
    const TOdbcBatch b = p.Exec("SELECT COUNT(*) FROM keep");
    ASSERT_EQ(b.Sets().size(), 1u) << b.DiagText();
    EXPECT_EQ(b.Sets()[0].Rows[0][0].value_or(""), "1");
}

TEST(SandboxLifecycle, ShellHelperStartsAndStops)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = QStringLiteral(ORVEXA_SOURCE_DIR "/tools/tds-sandbox/sandbox.sh");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TDS_SANDBOX", QStringLiteral(TDS_SANDBOX_PATH));
    QProcess start;
    start.setProcessEnvironment(env);
    start.start("bash", {script, "start", dir.path(), "--latency-ms", "5"});
    ASSERT_TRUE(start.waitForFinished(20000));
    ASSERT_EQ(start.exitCode(), 0) << start.readAllStandardError().toStdString();
    const int port = QString::fromUtf8(start.readAllStandardOutput()).trimmed().toInt();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(QFile::exists(dir.path() + "/tds-sandbox.pid"));
    {
        TOdbcProbe p;
        ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(port)));
        const TOdbcBatch b = p.Exec("SELECT 3");
        ASSERT_EQ(b.Sets().size(), 1u);
        EXPECT_EQ(b.Sets()[0].Rows[0][0].value_or(""), "3");
    }
    QProcess stop;
    stop.setProcessEnvironment(env);
    stop.start("bash", {script, "stop", dir.path()});
    ASSERT_TRUE(stop.waitForFinished(20000));
    EXPECT_EQ(stop.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(dir.path() + "/tds-sandbox.pid"));
    TOdbcProbe gone;
    EXPECT_FALSE(gone.Connect(TOdbcProbe::ConnStr(port)));
}

}  // namespace
