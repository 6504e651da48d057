#include "base/ixStream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace ix {

std::string SysErrorMessage(int errorCode) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errorCode, buffer, sizeof buffer);
    std::string result(text != nullptr ? text : "");
    while (!result.empty() &&
           (result.back() == ' ' || result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}

void TixStream::ReadBuffer(void* buffer, std::size_t count) {
    if (Read(buffer, count) != count) throw EixStreamError("Stream read error", -1);
}

void TixStream::WriteBuffer(const void* buffer, std::size_t count) {
    if (Write(buffer, count) != count) throw EixStreamError("Stream write error", -1);
}

std::int64_t TixStream::CopyFrom(TixStream& source, std::int64_t count) {
    if (count <= 0) count = source.Remaining();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
    std::int64_t left = count;
    while (left > 0) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
        source.ReadBuffer(buffer.data(), chunk);
        WriteBuffer(buffer.data(), chunk);
        left -= static_cast<std::int64_t>(chunk);
    }
    return count;
}

TixMemoryStream::TixMemoryStream(std::string_view bytes) {
    Write(bytes.data(), bytes.size());
    position_ = 0;
}

TixMemoryStream::TixMemoryStream(const TixByteArray& bytes) {
    if (!bytes.empty()) Write(bytes.data(), bytes.size());
    position_ = 0;
}

TixMemoryStream::TixMemoryStream(const TixMemoryStream& other) : TixStream(other) {
    if (other.size_ > 0) Write(other.data_, other.size_);
    position_ = other.position_;
}

TixMemoryStream& TixMemoryStream::operator=(const TixMemoryStream& other) {
    if (this != &other) {
        size_ = 0;
        position_ = 0;
        if (other.size_ > 0) Write(other.data_, other.size_);
        position_ = other.position_;
    }
    return *this;
}

TixMemoryStream::TixMemoryStream(TixMemoryStream&& other) noexcept
    : TixStream(other),
      data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      position_(std::exchange(other.position_, 0)) {}

TixMemoryStream& TixMemoryStream::operator=(TixMemoryStream&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        position_ = std::exchange(other.position_, 0);
    }
    return *this;
}

TixMemoryStream::~TixMemoryStream() {
    std::free(data_);
}

std::size_t TixMemoryStream::Read(void* buffer, std::size_t count) {
    if (position_ >= size_) return 0;
    const std::size_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_ + position_, n);
    position_ += n;
    return n;
}

void TixMemoryStream::Reallocate(std::size_t capacity) {
    auto* block = static_cast<std::uint8_t*>(std::realloc(data_, capacity));
    if (block == nullptr) throw std::bad_alloc();
    data_ = block;
    capacity_ = capacity;
    // Large blocks (whole messages, decoded attachments) are written once from start to end;
    // huge pages spare most of the page faults of that first touch.
    constexpr std::uintptr_t cHugePage = 2u << 20;
    if (capacity >= 4 * cHugePage) {
        const auto begin = (reinterpret_cast<std::uintptr_t>(block) + cHugePage - 1) & ~(cHugePage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(block) + capacity) & ~(cHugePage - 1);
        if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
}

void TixMemoryStream::Grow(std::size_t needed) {
    if (needed <= capacity_) return;
    // Doubling keeps a long series of small writes linear.
    Reallocate(std::max({needed, capacity_ * 2, std::size_t{256}}));
}

std::size_t TixMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    const std::size_t end = position_ + count;
    Grow(end);
    if (position_ > size_) std::memset(data_ + size_, 0, position_ - size_);
    std::memcpy(data_ + position_, buffer, count);
    position_ = end;
    size_ = std::max(size_, end);
    return count;
}

std::int64_t TixMemoryStream::Seek(std::int64_t offset, TixSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == TixSeekOrigin::soCurrent) base = static_cast<std::int64_t>(position_);
    if (origin == TixSeekOrigin::soEnd) base = static_cast<std::int64_t>(size_);
    const std::int64_t target = base + offset;
    if (target < 0) throw EixStreamError("Stream seek before the start", -1);
    position_ = static_cast<std::size_t>(target);
    return target;
}

void TixMemoryStream::SetSize(std::int64_t size) {
    if (size < 0) throw EixStreamError("Invalid stream size", -1);
    const auto n = static_cast<std::size_t>(size);
    if (n > size_) {
        Grow(n);
        std::memset(data_ + size_, 0, n - size_);
    }
    size_ = n;
    position_ = std::min(position_, size_);
}

void TixMemoryStream::Clear() {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    position_ = 0;
}

void TixMemoryStream::Reserve(std::size_t n) {
    if (n > capacity_) Reallocate(n);
}

TixFileStream::TixFileStream(const std::string& fileName, TixFileMode mode) : fileName_(fileName) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case TixFileMode::fmOpenRead:
            flags |= O_RDONLY;
            break;
        case TixFileMode::fmOpenReadWrite:
            flags |= O_RDWR;
            break;
        case TixFileMode::fmCreate:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
    }
    fd_ = ::open(fileName.c_str(), flags, 0644);
    if (fd_ < 0) Fail("Cannot open file");
}

TixFileStream::~TixFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

void TixFileStream::Fail(const char* what) const {
    const int code = errno;
    throw EixStreamError(std::string(what) + " \"" + fileName_ + "\": " + SysErrorMessage(code), code);
}

std::size_t TixFileStream::Read(void* buffer, std::size_t count) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("Cannot read file");
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t TixFileStream::Write(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("Cannot write file");
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::int64_t TixFileStream::Seek(std::int64_t offset, TixSeekOrigin origin) {
    const int whence = origin == TixSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TixSeekOrigin::soCurrent ? SEEK_CUR
                                                            : SEEK_END;
    const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (result < 0) Fail("Cannot seek file");
    return result;
}

std::int64_t TixFileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail("Cannot read file size");
    return st.st_size;
}

void TixFileStream::SetSize(std::int64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("Cannot resize file");
    if (Position() > size) SetPosition(size);
}

}  // namespace ix
