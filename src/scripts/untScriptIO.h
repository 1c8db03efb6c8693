// File access and memory shared by the encoding detector and the script
// splitter: a script file is read once, whole, into memory of its own, and
// everything after that works on those bytes.
#pragma once

#include <QString>

#include <cstddef>
#include <type_traits>

// A growable array of plain values in anonymous pages of its own, for a whole
// file's bytes, its decoded text or its batches. Large arrays are asked to
// live in huge pages: first touching fresh memory one 4 KiB page at a time is
// what costs most when a large file is split. Pages can be handed back to the
// system from the front while the array is still used (Release), so the bytes
// of a file can go as they are decoded. Move-only; one thread at a time.
class TPageBlock {
public:
    TPageBlock() = default;
    TPageBlock(TPageBlock&& other) noexcept;
    TPageBlock& operator=(TPageBlock&& other) noexcept;
    TPageBlock(const TPageBlock&) = delete;
    TPageBlock& operator=(const TPageBlock&) = delete;
    ~TPageBlock();

    // Room for at least `bytes` bytes, keeping the content. Returns false when
    // the system gives no more memory (the block stays as it was).
    [[nodiscard]] bool Reserve(std::size_t bytes);
    // Gives the pages that lie wholly before byte `upTo` back to the system;
    // they read as zeros afterwards.
    void Release(std::size_t upTo);
    char* Data() const { return FData; }
    std::size_t Capacity() const { return FCapacity; }

private:
    char* FData = nullptr;
    std::size_t FCapacity = 0;
};

template <typename T> class TPageArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Room for at least n values; false when the memory cannot be had.
    [[nodiscard]] bool Reserve(std::size_t n) { return n <= Capacity() || FBlock.Reserve(n * sizeof(T)); }
    // Appends, growing by doubling; false when the memory cannot be had.
    [[nodiscard]] bool Append(const T& value)
    {
        if (FSize == Capacity() && !Reserve(FSize < 4096 ? 4096 : FSize * 2))
            return false;
        Data()[FSize++] = value;
        return true;
    }
    // The size within the capacity (the caller wrote the values).
    void SetSize(std::size_t n) { FSize = n; }
    void Release(std::size_t upTo) { FBlock.Release(upTo * sizeof(T)); }

    T* Data() const { return reinterpret_cast<T*>(FBlock.Data()); }
    std::size_t Size() const { return FSize; }
    std::size_t Capacity() const { return FBlock.Capacity() / sizeof(T); }
    const T& operator[](std::size_t i) const { return Data()[i]; }

private:
    TPageBlock FBlock;
    std::size_t FSize = 0;
};

// The whole content of a script file, read once. Works for regular files and
// for pipes, FIFOs and other files without a known size alike. Throws
// EOrvexaError:
//   "File:<path> does not exist." when there is no such file;
//   "Cannot open file <path>: <reason>" / "Cannot read file <path>: <reason>";
//   "File <path> changed while it was read." when its size or modification
//     time differ before and after the read (another process wrote it);
//   "Not enough memory to read <path>" when its bytes cannot be held.
TPageArray<char> ReadScriptFile(const QString& fileName);

// "Not enough memory to read <path>", thrown where a file's bytes or text
// cannot be held.
[[noreturn]] void ThrowNotEnoughMemory(const QString& fileName);
