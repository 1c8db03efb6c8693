#include "FuzzEntries.h"

#include "untCommon.h"
#include "untDBListFile.h"
#include "untDBListFileInternal.h"
#include "untEncodingDetector.h"
#include "untSQLFile.h"
#include "untTdsWire.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include <sys/socket.h>
#include <unistd.h>

namespace {

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// A line that reads GO alone once characters of code 32 or less are trimmed
// from both ends (only those: a no-break space is part of the line).
bool IsSeparator(QStringView line)
{
    while (!line.isEmpty() && line.front().unicode() <= 32)
        line = line.sliced(1);
    while (!line.isEmpty() && line.back().unicode() <= 32)
        line.chop(1);
    return line.compare(QLatin1String("GO"), Qt::CaseInsensitive) == 0;
}

// A packet that a writer accepts reads back as the same packet, in both forms.
void CheckRoundTrip(const TDBListPacket& packet)
{
    for (auto [write, read] : {std::pair{&WriteDBListXml, &ReadDBListXml}, std::pair{&WriteDBListBinary, &ReadDBListBinary}}) {
        QByteArray written;
        try {
            written = write(packet);
        } catch (const EOrvexaError&) {
            continue;  // a value this form cannot carry: refused, never written
        }
        const TDBListPacket back = read(written);
        FUZZ_CHECK(back == packet);
    }
}

void ReadList(TDBListPacket (*read)(const QByteArray&), const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    TDBListPacket packet;
    try {
        packet = read(content);
    } catch (const EOrvexaError& e) {
        FUZZ_CHECK(!e.Message().isEmpty());
        return;
    }
    try {
        CheckDBListPacket(packet);
    } catch (const EOrvexaError&) {
    }
    CheckRoundTrip(packet);
}

} // namespace

void FuzzScriptSplit(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const TEncodingDetector::TEncoding encoding = TEncodingDetector::Classify(bytes);
    TSQLFile file(QStringLiteral("fuzz.sql"));
    try {
        file.SplitSQLData(bytes);
    } catch (const EOrvexaError& e) {
        FUZZ_CHECK(e.Message().startsWith(QStringLiteral("File fuzz.sql holds a NUL character at line ")));
        FUZZ_CHECK(file.BatchCount() == 0 && !file.UseDBWarn && !file.GoNWarn);
        return;
    }
    FUZZ_CHECK(file.Encoding() == encoding);
    FUZZ_CHECK(file.BatchCount() >= 1);
    for (qsizetype b = 0; b < file.BatchCount(); ++b) {
        qsizetype lines = 0;
        qsizetype chars = 0;
        file.ForEachLine(b, [&](QStringView line) {
            FUZZ_CHECK(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
            FUZZ_CHECK(!line.contains(QChar(0)));
            FUZZ_CHECK(!IsSeparator(line));
            ++lines;
            chars += line.size() + 2;
        });
        FUZZ_CHECK(lines == file.BatchLineCount(b));
        FUZZ_CHECK(file.BatchText(b).size() == chars);
    }
}

void FuzzXmlList(const uint8_t* data, size_t size) { ReadList(&ReadDBListXml, data, size); }

void FuzzBinaryList(const uint8_t* data, size_t size) { ReadList(&ReadDBListBinary, data, size); }

void FuzzTdsPackets(const uint8_t* data, size_t size)
{
    // The bytes arrive on a connected socket whose other end then closes, as
    // from a client that sends them and hangs up.
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int buffer = int(size) + 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fds[0], data + sent, size - sent, MSG_DONTWAIT);
        if (n <= 0)
            break;  // more than the socket holds: the rest is cut off
        sent += size_t(n);
    }
    ::shutdown(fds[0], SHUT_WR);
    tds::TTdsWire wire(fds[1]);
    tds::TTdsWire::TMessage msg;
    try {
        while (wire.ReadMessage(msg, 64 * 1024, 0)) {
            FUZZ_CHECK(msg.Data.size() <= 64 * 1024);
            // What the sandbox does with the text of a batch and with an
            // attention that may follow.
            (void)tds::Utf16ToUtf8(msg.Data.data(), msg.Data.size() / 2);
            if (wire.PollAttention(0))
                wire.ClearAttention();
        }
    } catch (const tds::TDisconnect&) {
    }
    ::close(fds[0]);
    ::close(fds[1]);
}
