// Moves 256 MB over loopback through TixTcpClient reads and writes, and through a plain
// blocking-socket loop with the same buffer size, taking turns with both ends on one CPU, and
// prints the median rates, the ratio and the CPU time per MB of the measured side.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "ixCountingStream.h"
#include "ixInterleaved.h"
#include "transport/ixTcpClient.h"

namespace {

constexpr std::int64_t kTotal = 256LL * 1024 * 1024;
constexpr int kBuffer = 8192;
constexpr int kPeerBuffer = 256 * 1024;

// kTotal bytes of a fixed pattern, without holding them in memory.
class PatternStream : public ix::TixStream {
public:
    PatternStream() : pattern_(kPeerBuffer) {
        for (std::size_t i = 0; i < pattern_.size(); ++i)
            pattern_[i] = static_cast<char>(i * 31);
    }
    std::size_t Read(void* buffer, std::size_t count) override {
        count = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(count), kTotal - position_));
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            std::size_t offset =
                static_cast<std::size_t>((position_ + static_cast<std::int64_t>(done)) % kPeerBuffer);
            std::size_t n = std::min(count - done, pattern_.size() - offset);
            std::memcpy(out + done, pattern_.data() + offset, n);
            done += n;
        }
        position_ += static_cast<std::int64_t>(done);
        return done;
    }
    std::size_t Write(const void*, std::size_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, ix::TixSeekOrigin origin) override {
        if (origin == ix::TixSeekOrigin::soBeginning) position_ = offset;
        if (origin == ix::TixSeekOrigin::soCurrent) position_ += offset;
        if (origin == ix::TixSeekOrigin::soEnd) position_ = kTotal + offset;
        return position_;
    }
    std::int64_t Size() const override { return kTotal; }
    void SetSize(std::int64_t) override {}

private:
    std::vector<char> pattern_;
    std::int64_t position_ = 0;
};

struct Listener {
    int fd;
    int port;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 4);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
};

void PeerSend(int fd) {
    std::vector<char> buffer(kPeerBuffer, 'p');
    std::int64_t left = kTotal;
    while (left > 0) {
        ssize_t n = send(fd, buffer.data(),
                         static_cast<std::size_t>(std::min<std::int64_t>(left, kPeerBuffer)), MSG_NOSIGNAL);
        if (n <= 0) break;
        left -= n;
    }
    shutdown(fd, SHUT_WR);
}

void PeerReceive(int fd) {
    std::vector<char> buffer(kPeerBuffer);
    while (recv(fd, buffer.data(), buffer.size(), 0) > 0) {
    }
}

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double mbPerSec;
    double cpuMsPerMb;
};

// Keeps the calling thread on the first CPU. With the two ends on two CPUs or sharing one, the
// bytes moved at rates up to three times apart, as the scheduler placed them; seven runs a side
// mixed the two, and either median could fall on either. Sharing one CPU, the runs agree within a
// few per cent, and the rate shows what each side costs per byte.
void StayOnFirstCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Runs the peer on a thread and measures `measured`, which connects to the port; both on one CPU.
Result Run(const std::function<void(int)>& peer, const std::function<void(int)>& measured) {
    Listener listener;
    StayOnFirstCpu();
    std::thread server([&] {
        StayOnFirstCpu();
        int fd = accept(listener.fd, nullptr, nullptr);
        peer(fd);
        close(fd);
    });
    auto start = std::chrono::steady_clock::now();
    double cpu = ThreadCpuSeconds();
    measured(listener.port);
    cpu = ThreadCpuSeconds() - cpu;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.join();
    double mb = static_cast<double>(kTotal) / (1024.0 * 1024.0);
    return {mb / seconds, cpu * 1000.0 / mb};
}

int PlainConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

void PlainRead(int port) {
    int fd = PlainConnect(port);
    std::vector<char> buffer(kBuffer);
    ix::bench::TixCountingStream sink;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        sink.Write(buffer.data(), static_cast<std::size_t>(n));
    }
    close(fd);
}

void PlainWrite(int port) {
    int fd = PlainConnect(port);
    PatternStream source;
    std::vector<char> buffer(kBuffer);
    for (;;) {
        std::size_t n = source.Read(buffer.data(), buffer.size());
        if (n == 0) break;
        std::size_t done = 0;
        while (done < n) {
            ssize_t sent = send(fd, buffer.data() + done, n - done, MSG_NOSIGNAL);
            if (sent <= 0) return;
            done += static_cast<std::size_t>(sent);
        }
    }
    close(fd);
}

ix::TixTcpClient* OpenClient(ix::TixTcpClient& client, int port) {
    client.SetServer("127.0.0.1");
    client.SetPort(port);
    client.SetBatchSize(kBuffer);
    client.Open();
    return &client;
}

void OursRead(int port) {
    ix::TixTcpClient client;
    OpenClient(client, port);
    ix::bench::TixCountingStream sink;
    while (client.Active())
        client.GetConnection().ReadData(&sink);
    if (sink.Size() != kTotal) std::fprintf(stderr, "read %lld bytes\n", static_cast<long long>(sink.Size()));
}

void OursWrite(int port) {
    ix::TixTcpClient client;
    OpenClient(client, port);
    PatternStream source;
    client.GetConnection().WriteData(&source);
    if (source.Position() != kTotal)
        std::fprintf(stderr, "wrote %lld bytes\n", static_cast<long long>(source.Position()));
    client.Close();
}

void Compare(const char* name, const std::function<void(int)>& peer, const std::function<void(int)>& ours,
             const std::function<void(int)>& plain) {
    // The runs take turns, so that noise from the machine hits both alike; medians are compared.
    constexpr int runs = 7;
    std::vector<double> cpuOurs, cpuPlain;
    const auto figures = ix::bench::Interleaved(
        runs,
        [&] {
            const Result r = Run(peer, ours);
            cpuOurs.push_back(r.cpuMsPerMb);
            return r.mbPerSec;
        },
        [&] {
            const Result r = Run(peer, plain);
            cpuPlain.push_back(r.cpuMsPerMb);
            return r.mbPerSec;
        });
    std::printf("%s: CPU per MB, median: ours %.2f ms, plain socket loop %.2f ms\n", name,
                ix::bench::Summarize(cpuOurs).median, ix::bench::Summarize(cpuPlain).median);
    ix::bench::Report(name, "MB/s", true, runs, figures, 0.90);
}

}  // namespace

int main() {
    std::printf("256 MB over 127.0.0.1, %d-byte buffers on the measured side\n", kBuffer);
    Compare("tcp_read_256MB", PeerSend, OursRead, PlainRead);
    Compare("tcp_write_256MB", PeerReceive, OursWrite, PlainWrite);
    return 0;
}
