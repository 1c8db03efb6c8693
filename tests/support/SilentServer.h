// A server that takes TCP connections and never says a word: what a client
// meets at a SQL Server that hangs, or whose process is stopped, before its
// login. The kernel completes each connection from the listen queue; nothing
// ever reads or writes on it.
#pragma once

#include <QString>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

class TSilentServer {
public:
    TSilentServer()
    {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(FSocket, 64) != 0
            || ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen on a port of 127.0.0.1";
        FPort = ntohs(address.sin_port);
    }
    ~TSilentServer() { Close(); }
    TSilentServer(const TSilentServer&) = delete;
    TSilentServer& operator=(const TSilentServer&) = delete;

    // Stops listening: later connections are refused.
    void Close()
    {
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
    }

    int Port() const { return FPort; }
    // The server name as a DBA types it: host,port.
    QString Instance() const { return QStringLiteral("127.0.0.1,%1").arg(FPort); }

private:
    int FSocket = -1;
    int FPort = 0;
};

// Runs `call` on a thread of its own and waits at most `limit` for it. A call
// still running then has hung: the test fails, and since a hung call cannot be
// taken back, the test program ends at once rather than wait for it for ever.
// (An atomic flag rather than a condition variable: GCC 12's ThreadSanitizer
// does not see the lock that a timed wait on a steady clock takes back.)
inline void FinishesWithin(std::chrono::seconds limit, const char* what, std::function<void()> call)
{
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread([finished, call] {
        call();
        finished->store(true, std::memory_order_release);
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished->load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "FAILED: %s did not end within %lld seconds; it hangs.\n", what,
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
