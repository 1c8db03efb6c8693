#include "untCliTerminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// The controlling terminal, opened for both reading and writing.
class TTty {
public:
    TTty() : FFd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~TTty()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }

    void Write(const QString& text) const
    {
        const QByteArray bytes = text.toUtf8();
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(FFd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0)
                return;
            done += n;
        }
    }

    // One line without its line break; false at end of input.
    bool ReadLine(QString& line) const
    {
        std::string bytes;
        char c;
        for (;;) {
            const ssize_t n = ::read(FFd, &c, 1);
            if (n <= 0) {
                if (bytes.empty())
                    return false;
                break;
            }
            if (c == '\n')
                break;
            bytes += c;
        }
        if (!bytes.empty() && bytes.back() == '\r')
            bytes.pop_back();
        line = QString::fromStdString(bytes);
        return true;
    }

private:
    int FFd;
};

} // namespace

bool StderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

bool AskYesNo(const QString& question)
{
    const TTty tty;
    if (!tty.IsOpen())
        return false;
    tty.Write(question + QStringLiteral(" [y/N] "));
    QString answer;
    if (!tty.ReadLine(answer))
        return false;
    answer = answer.trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}

bool ReadPassword(const QString& prompt, QString& password)
{
    const TTty tty;
    if (!tty.IsOpen())
        return false;
    termios saved{};
    const bool canHide = ::tcgetattr(tty.Fd(), &saved) == 0;
    if (canHide) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(tty.Fd(), TCSAFLUSH, &quiet);
    }
    tty.Write(prompt);
    const bool got = tty.ReadLine(password);
    if (canHide)
        ::tcsetattr(tty.Fd(), TCSAFLUSH, &saved);
    return got;
}
