#include "untScriptIO.h"

#include "untCommon.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t SmallPage = 4096;
constexpr std::size_t HugePage = std::size_t(2) << 20;

std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A file may take a third of the machine's memory: its text takes twice its
// bytes again while it is decoded, and beyond that the system would end the
// process rather than refuse it an allocation.
std::size_t ScriptSizeLimit()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::size_t(-1) / 4;
    return std::size_t(pages) * std::size_t(pageSize) / 3;
}

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Closes a descriptor when the read ends, however it ends.
struct TFd {
    int Fd;
    ~TFd()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

bool SameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The change time moves with every write and every truncation, and on file
// systems that keep fine-grained times for files whose times were just looked
// at (as the first fstat does), it moves even within one clock tick.
bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

} // namespace

TPageBlock::TPageBlock(TPageBlock&& other) noexcept
    : FData(std::exchange(other.FData, nullptr)), FCapacity(std::exchange(other.FCapacity, 0))
{
}

TPageBlock& TPageBlock::operator=(TPageBlock&& other) noexcept
{
    if (this != &other) {
        if (FData)
            ::munmap(FData, FCapacity);
        FData = std::exchange(other.FData, nullptr);
        FCapacity = std::exchange(other.FCapacity, 0);
    }
    return *this;
}

TPageBlock::~TPageBlock()
{
    if (FData)
        ::munmap(FData, FCapacity);
}

bool TPageBlock::Reserve(std::size_t bytes)
{
    if (bytes <= FCapacity)
        return true;
    if (bytes > std::size_t(-1) / 2)
        return false;
    const std::size_t capacity = RoundUp(bytes, bytes >= HugePage ? HugePage : SmallPage);
    void* p = FData ? ::mremap(FData, FCapacity, capacity, MREMAP_MAYMOVE)
                    : ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    FData = static_cast<char*>(p);
    FCapacity = capacity;
    // Only advice: where huge pages are off, the block works as it is.
    if (capacity >= HugePage)
        ::madvise(FData, FCapacity, MADV_HUGEPAGE);
    return true;
}

void TPageBlock::Release(std::size_t upTo)
{
    const std::size_t end = (upTo < FCapacity ? upTo : FCapacity) / HugePage * HugePage;
    if (end > 0)
        ::madvise(FData, end, MADV_DONTNEED);
}

void ThrowNotEnoughMemory(const QString& fileName)
{
    throw EOrvexaError(QStringLiteral("Not enough memory to read ") + fileName);
}

TPageArray<char> ReadScriptFile(const QString& fileName)
{
    if (!QFileInfo::exists(fileName))
        throw EOrvexaError(QStringLiteral("File:") + fileName + QStringLiteral(" does not exist."));
    const QByteArray native = QFile::encodeName(fileName);
    TFd fd{::open(native.constData(), O_RDONLY | O_CLOEXEC)};
    if (fd.Fd < 0)
        throw EOrvexaError(QStringLiteral("Cannot open file %1: %2").arg(fileName, SystemError(errno)));
    struct stat before{};
    if (::fstat(fd.Fd, &before) != 0)
        throw EOrvexaError(QStringLiteral("Cannot read file %1: %2").arg(fileName, SystemError(errno)));
    const bool regular = S_ISREG(before.st_mode);
    const std::size_t limit = ScriptSizeLimit();

    TPageArray<char> bytes;
    // A regular file is read to its end, not just to the size it had: one
    // byte of room more than that size shows whether it grew meanwhile.
    std::size_t want = regular ? std::size_t(before.st_size) + 1 : std::size_t(1) << 20;
    if (regular && std::size_t(before.st_size) > limit)
        ThrowNotEnoughMemory(fileName);
    std::size_t size = 0;
    for (;;) {
        if (size == bytes.Capacity()) {
            if (size >= limit || !bytes.Reserve(want)) {
                // What was read goes first: the message needs memory too.
                bytes = TPageArray<char>();
                ThrowNotEnoughMemory(fileName);
            }
            want = bytes.Capacity() * 2;
        }
        const ssize_t got = ::read(fd.Fd, bytes.Data() + size, bytes.Capacity() - size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw EOrvexaError(QStringLiteral("Cannot read file %1: %2").arg(fileName, SystemError(errno)));
        }
        if (got == 0)
            break;
        size += std::size_t(got);
    }
    bytes.SetSize(size);

    if (regular) {
        struct stat after{};
        if (::fstat(fd.Fd, &after) != 0)
            throw EOrvexaError(QStringLiteral("Cannot read file %1: %2").arg(fileName, SystemError(errno)));
        // Files whose size the system does not know (those under /proc)
        // say 0 and still have content; any other difference is a writer.
        const bool sizeMatches = std::size_t(before.st_size) == size || before.st_size == 0;
        if (!SameFile(before, after) || !sizeMatches)
            throw EOrvexaError(QStringLiteral("File ") + fileName + QStringLiteral(" changed while it was read."));
    }
    return bytes;
}
