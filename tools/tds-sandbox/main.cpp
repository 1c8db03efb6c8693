// tds-sandbox: a local SQL Server stand-in. It speaks TDS 7.1-7.4 to SQL Server
// clients (the FreeTDS ODBC driver, tsql, bsqldb) and keeps each database in a
// SQLite file DATA_DIR/<name>.db. Every connection runs on a thread of its own.

#include "untServerState.h"
#include "untSession.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

namespace {

int gStopPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gStopPipe[1], &c, 1);
}

[[noreturn]] void Usage(const char* why)
{
    std::cerr << "tds-sandbox: " << why << "\n"
              << "usage: tds-sandbox --data DIR [--host 127.0.0.1] [--port N] "
                 "[--login USER:PASSWORD]... [--latency-ms N] [--verbose] [--remove-data-on-exit]\n";
    std::exit(2);
}

int ParseInt(const std::string& text, int lo, int hi, const char* what)
{
    try {
        size_t used = 0;
        const long v = std::stol(text, &used);
        if (used != text.size() || v < lo || v > hi)
            throw std::out_of_range(what);
        return int(v);
    } catch (const std::exception&) {
        Usage((std::string("bad value for ") + what + ": " + text).c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    tds::TServerOptions options;
    bool removeDataOnExit = false;   // the data folder is a temporary one of a test
    std::string removeIfOrphaned;    // a folder the parent would have removed, had it not died
    const pid_t parent = ::getppid();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--data") options.DataDir = value();
        else if (arg == "--host") options.Host = value();
        else if (arg == "--port") options.Port = ParseInt(value(), 0, 65535, "--port");
        else if (arg == "--latency-ms") options.LatencyMs = ParseInt(value(), 0, 600000, "--latency-ms");
        else if (arg == "--verbose") options.Verbose = true;
        else if (arg == "--remove-data-on-exit") removeDataOnExit = true;
        else if (arg == "--remove-if-orphaned") removeIfOrphaned = value();
        else if (arg == "--login") {
            const std::string login = value();
            const auto colon = login.find(':');
            if (colon == std::string::npos || colon == 0)
                Usage("--login wants USER:PASSWORD");
            options.Logins.emplace_back(login.substr(0, colon), login.substr(colon + 1));
        } else if (arg == "--help" || arg == "-h") {
            Usage("help");
        } else {
            Usage(("unknown argument " + arg).c_str());
        }
    }
    if (options.DataDir.empty())
        Usage("--data DIR is required");

    std::error_code ec;
    std::filesystem::create_directories(options.DataDir, ec);
    if (!std::filesystem::is_directory(options.DataDir)) {
        std::cerr << "tds-sandbox: data folder " << options.DataDir << " cannot be created\n";
        return 1;
    }

    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_initialize();

    tds::TServerState state(options);
    if (!state.FindDatabase("master")) {
        std::string error;
        if (!state.CreateDatabase("master", error)) {
            std::cerr << "tds-sandbox: cannot create master: " << error << "\n";
            return 1;
        }
    }

    if (::pipe(gStopPipe) != 0) {
        std::perror("tds-sandbox: pipe");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) {
        std::perror("tds-sandbox: socket");
        return 1;
    }
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(options.Port));
    const std::string bindHost = options.Host == "localhost" ? std::string("127.0.0.1") : options.Host;
    if (::inet_pton(AF_INET, bindHost.c_str(), &addr.sin_addr) != 1) {
        std::cerr << "tds-sandbox: --host must be an IPv4 address: " << options.Host << "\n";
        return 1;
    }
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 128) != 0) {
        std::cerr << "tds-sandbox: cannot listen on " << options.Host << ":" << options.Port << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    std::cout << "listening on " << options.Host << ":" << port << std::endl;

    std::atomic<int> live{0};
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {gStopPipe[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++live;
        try {
            std::thread([&state, &live, fd] {
                {
                    tds::TSession session(state, fd);
                    session.Run();
                }
                ::close(fd);
                --live;
            }).detach();
        } catch (const std::exception& e) {
            state.Log(std::string("cannot start a connection thread: ") + e.what());
            ::close(fd);
            --live;
        }
    }

    // Shutdown: refuse new connections, end the live ones (their open
    // transactions roll back when their SQLite connections close), wait for them.
    ::close(listener);
    state.KillAll();
    for (int i = 0; i < 500 && live.load() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (i % 50 == 49) state.KillAll();
    }
    state.Verbose("stopped");
    if (removeDataOnExit && live.load() == 0) {
        // Also when the test that started it died without cleaning up.
        std::error_code removeError;
        std::filesystem::remove_all(options.DataDir, removeError);
    }
    if (!removeIfOrphaned.empty() && ::getppid() != parent) {
        std::error_code removeError;
        std::filesystem::remove_all(removeIfOrphaned, removeError);
    }
    std::fflush(nullptr);
    if (live.load() > 0)
        std::_Exit(0);   // a connection thread that did not end is not waited for any longer
    return 0;
}
