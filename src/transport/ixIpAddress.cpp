#include "transport/ixIpAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "transport/ixSocketError.h"

namespace ix {

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

}  // namespace

void TixIPAddress::SetPort(int port) {
    if (port < 0) RaiseSocketError(IX_INVALID_PORT);
}

std::unique_ptr<TixIPAddress> TixIPAddress::CreateIpAddress(const std::string& text) {
    auto address = std::make_unique<TixIPAddress6>();
    if (!address->Parse(text)) RaiseSocketError(IX_INVALID_ADDRESS);
    return address;
}

bool TixIPAddress::IsIpAddress(const std::string& text) {
    if (text.empty()) return false;
    TixIPAddress6 address;
    return address.Parse(text);
}

std::unique_ptr<TixIPAddress> TixIPAddress::CreateForFamily(int family) {
    auto address = std::make_unique<TixIPAddress6>();
    address->InitFamily(family);
    return address;
}

std::unique_ptr<TixIPAddress> TixIPAddress::CreateAnyAddress(int family) {
    auto address = std::make_unique<TixIPAddress6>();
    address->InitAny(family);
    return address;
}

std::unique_ptr<TixIPAddress> TixIPAddress::CreateBindAddress(const std::string& text, int family) {
    return text.empty() ? CreateAnyAddress(family) : CreateIpAddress(text);
}

TixIPAddress6::~TixIPAddress6() {
    Clear();
}

bool TixIPAddress6::IsIPv6() const {
    return GetFamily() == AF_INET6;
}

const sockaddr* TixIPAddress6::GetSockAddr() const {
    return length_ != 0 ? reinterpret_cast<const sockaddr*>(&storage_) : nullptr;
}

sockaddr* TixIPAddress6::MutableSockAddr() {
    return reinterpret_cast<sockaddr*>(&storage_);
}

void TixIPAddress6::SetSockAddrLength(socklen_t length) {
    length_ = length <= sizeof storage_ ? length : 0;
}

int TixIPAddress6::GetFamily() const {
    return length_ != 0 ? storage_.ss_family : 0;
}

socklen_t TixIPAddress6::GetSockAddrLength() const {
    return length_;
}

int TixIPAddress6::GetPort() const {
    switch (GetFamily()) {
        case AF_INET:
            return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
        case AF_INET6:
            return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
        default:
            return 0;
    }
}

void TixIPAddress6::Clear() {
    storage_ = {};
    length_ = 0;
}

bool TixIPAddress6::Parse(const std::string& text) {
    Clear();
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0) return false;
    AddrInfoPtr entries(result);
    if (result->ai_addr == nullptr || result->ai_addrlen > sizeof storage_) return false;
    std::memcpy(&storage_, result->ai_addr, result->ai_addrlen);
    length_ = result->ai_addrlen;
    return true;
}

void TixIPAddress6::InitFamily(int family) {
    if (family != AF_INET && family != AF_INET6) RaiseSocketError(IX_INVALID_FAMILY);
    if (!Parse(family == AF_INET6 ? "::" : "0.0.0.0")) RaiseSocketError(IX_INVALID_ADDRESS);
}

void TixIPAddress6::InitAny(int family) {
    InitFamily(family);
    if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&storage_)->sin_addr.s_addr = INADDR_ANY;
}

void TixIPAddress6::SetPort(int port) {
    TixIPAddress::SetPort(port);
    int family = GetFamily();
    auto networkPort = htons(static_cast<std::uint16_t>(port));
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = networkPort;
    else if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = networkPort;
    else
        RaiseSocketError(IX_INVALID_ADDRESS);
}

std::string TixIPAddress6::ToString() const {
    return SockAddrToString(GetSockAddr());
}

std::string Ipv6ToString(const unsigned char (&bytes)[16]) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    auto writeGroup = [&](unsigned group) {
        char buffer[4];
        int n = 0;
        do {
            buffer[n++] = digits[group & 0xF];
            group >>= 4;
        } while (group != 0);
        while (n > 0)
            text += buffer[--n];
    };
    int zeros = 0;
    bool runWritten = false;
    bool needColon = false;
    for (int i = 0; i < 8; ++i) {
        unsigned group = (unsigned{bytes[2 * i]} << 8) | bytes[2 * i + 1];
        if (group == 0 && !runWritten) {
            ++zeros;
            continue;
        }
        if (zeros > 0) {
            // The first run of zero groups: one stays "0", more become "::".
            if (zeros == 1) {
                if (needColon) text += ':';
                text += '0';
                needColon = true;
            } else {
                text += "::";
                needColon = false;
            }
            runWritten = true;
            zeros = 0;
        }
        if (needColon) text += ':';
        writeGroup(group);
        needColon = true;
    }
    if (zeros == 1)
        text += ":0";
    else if (zeros > 1)
        text += "::";
    return text;
}

std::string SockAddrToString(const sockaddr* address) {
    if (address == nullptr) return {};
    if (address->sa_family == AF_INET) {
        char buffer[INET_ADDRSTRLEN];
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return inet_ntop(AF_INET, &in->sin_addr, buffer, sizeof buffer) != nullptr ? buffer : "";
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        unsigned char bytes[16];
        std::memcpy(bytes, &in6->sin6_addr, 16);
        return Ipv6ToString(bytes);
    }
    return {};
}

namespace {

AddrInfoPtr Resolve(const std::string& host) {
    addrinfo hints{};
    addrinfo* result = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0) RaiseResolverError(rc);
    return AddrInfoPtr(result);
}

}  // namespace

std::string TixHostResolver6::GetHostIP(const std::string& host) {
    if (TixIPAddress::IsIpAddress(host)) return host;
    AddrInfoPtr entries = Resolve(host);
    int wanted = useIpV6_ ? AF_INET6 : AF_INET;
    const addrinfo* chosen = nullptr;
    for (const addrinfo* p = entries.get(); p != nullptr; p = p->ai_next) {
        if (p->ai_family == wanted) {
            chosen = p;
            break;
        }
    }
    if (chosen == nullptr) chosen = entries.get();
    return chosen != nullptr ? SockAddrToString(chosen->ai_addr) : std::string();
}

void TixHostResolver6::GetHostIPList(const std::string& host, TixStringList& list) {
    list.Clear();
    AddrInfoPtr entries = Resolve(host);
    for (const addrinfo* p = entries.get(); p != nullptr; p = p->ai_next) {
        // One entry per socket type: list each address once.
        if (p->ai_family != AF_INET && p->ai_family != AF_INET6) continue;
        std::string text = SockAddrToString(p->ai_addr);
        if (list.IndexOfExact(text) < 0) list.Add(text);
    }
}

std::string GetHostIP(const std::string& host, bool useIpV6) {
    return TixHostResolver6(useIpV6).GetHostIP(host);
}

void GetHostIPList(const std::string& host, TixStringList& list) {
    TixHostResolver6(false).GetHostIPList(host, list);
}

}  // namespace ix
