#pragma once
// A sink for the bulk transfer benchmarks: what the client reads goes nowhere, so only the
// transfer itself is measured.

#include <cstdint>

#include "base/ixStream.h"

namespace ix::bench {

// Counts what is written to it, like /dev/null.
class TixCountingStream : public TixStream {
public:
    std::size_t Read(void*, std::size_t) override { return 0; }
    std::size_t Write(const void*, std::size_t count) override {
        size_ += static_cast<std::int64_t>(count);
        return count;
    }
    std::int64_t Seek(std::int64_t offset, TixSeekOrigin origin) override {
        return origin == TixSeekOrigin::soEnd ? size_ + offset : size_;
    }
    std::int64_t Size() const override { return size_; }
    void SetSize(std::int64_t size) override { size_ = size; }

private:
    std::int64_t size_ = 0;
};

}  // namespace ix::bench
