#pragma once
// Seekable byte streams. Read and Write move as many bytes as they can and return the count;
// the file stream raises EixStreamError with the platform's errno text on an I/O failure.

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ixError.h"
#include "base/ixTypes.h"

namespace ix {

enum class TixSeekOrigin { soBeginning, soCurrent, soEnd };

class EixStreamError : public EixCodedError {
public:
    using EixCodedError::EixCodedError;
};

class TixStream : public TixObject {
public:
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    // Returns the new position; seeking before the start raises EixStreamError.
    virtual std::int64_t Seek(std::int64_t offset, TixSeekOrigin origin) = 0;
    virtual std::int64_t Size() const = 0;
    virtual void SetSize(std::int64_t size) = 0;

    std::int64_t Position() { return Seek(0, TixSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, TixSeekOrigin::soBeginning); }
    std::int64_t Remaining() { return Size() - Position(); }

    // Whole-count variants: raise EixStreamError when fewer bytes could be moved.
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
    // Copies count bytes (all remaining when count is 0) from source at its position; returns the count.
    std::int64_t CopyFrom(TixStream& source, std::int64_t count = 0);
    // A hint that the stream will hold about n bytes in all, so that a memory stream can allocate
    // once; other streams ignore it.
    virtual void Reserve(std::size_t n) { (void)n; }
};

// A stream over a growable block of memory.
class TixMemoryStream : public TixStream {
public:
    TixMemoryStream() = default;
    explicit TixMemoryStream(std::string_view bytes);
    explicit TixMemoryStream(const TixByteArray& bytes);
    TixMemoryStream(const TixMemoryStream& other);
    TixMemoryStream& operator=(const TixMemoryStream& other);
    TixMemoryStream(TixMemoryStream&& other) noexcept;
    TixMemoryStream& operator=(TixMemoryStream&& other) noexcept;
    ~TixMemoryStream() override;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, TixSeekOrigin origin) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(size_); }
    void SetSize(std::int64_t size) override;

    // The valid bytes; the pointer is stable until the next write or resize.
    const std::uint8_t* Memory() const { return data_; }
    std::uint8_t* Memory() { return data_; }
    std::string_view View() const { return {reinterpret_cast<const char*>(data_), size_}; }
    TixByteArray ToBytes() const { return TixByteArray(data_, data_ + size_); }
    void Clear();
    void Reserve(std::size_t n) override;

private:
    void Grow(std::size_t needed);
    void Reallocate(std::size_t capacity);

    // malloc'd and grown with realloc: no zero-filling of the spare room, and large blocks grow by
    // remapping pages rather than copying. Only the first size_ bytes are valid.
    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

enum class TixFileMode { fmOpenRead, fmOpenReadWrite, fmCreate };

class TixFileStream : public TixStream {
public:
    // Raises EixStreamError with the errno code and text when the file cannot be opened.
    TixFileStream(const std::string& fileName, TixFileMode mode);
    ~TixFileStream() override;
    TixFileStream(const TixFileStream&) = delete;
    TixFileStream& operator=(const TixFileStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, TixSeekOrigin origin) override;
    std::int64_t Size() const override;
    void SetSize(std::int64_t size) override;
    const std::string& FileName() const { return fileName_; }

private:
    [[noreturn]] void Fail(const char* what) const;

    std::string fileName_;
    int fd_ = -1;
};

// errno text, trimmed, as the platform gives it.
std::string SysErrorMessage(int errorCode);

}  // namespace ix
