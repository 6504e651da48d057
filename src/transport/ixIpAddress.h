#pragma once
// Socket addresses built from address texts, and host-name resolution through getaddrinfo.
// Every address object is the IPv6-capable kind: it holds the address of one numeric getaddrinfo
// entry, of either family. Errors are EixSocketError: -2 for a text that is no address, -3 for a negative
// port, -7 for a family other than IPv4/IPv6, resolver codes for failed lookups.

#include <sys/socket.h>

#include <memory>
#include <string>

#include "base/ixStringList.h"

namespace ix {

class TixIPAddress {
public:
    virtual ~TixIPAddress() = default;

    virtual bool IsIPv6() const = 0;
    virtual const sockaddr* GetSockAddr() const = 0;
    virtual int GetFamily() const = 0;
    virtual socklen_t GetSockAddrLength() const = 0;
    virtual int GetPort() const = 0;
    virtual void Clear() = 0;
    virtual bool Parse(const std::string& text) = 0;
    virtual void InitFamily(int family) = 0;
    virtual void InitAny(int family) = 0;
    // Negative ports raise -3; larger ones are stored in 16 bits.
    virtual void SetPort(int port);
    virtual std::string ToString() const = 0;

    // Receives an address from getsockname/recvfrom: a buffer of sizeof(sockaddr_storage) bytes,
    // and the length the call reported.
    virtual sockaddr* MutableSockAddr() = 0;
    virtual void SetSockAddrLength(socklen_t length) = 0;

    // An address for an IPv6 or IPv4 text; anything else raises -2.
    static std::unique_ptr<TixIPAddress> CreateIpAddress(const std::string& text);
    static bool IsIpAddress(const std::string& text);
    static std::unique_ptr<TixIPAddress> CreateForFamily(int family);
    static std::unique_ptr<TixIPAddress> CreateAnyAddress(int family);
    static std::unique_ptr<TixIPAddress> CreateBindAddress(const std::string& text, int family);
};

class TixIPAddress6 : public TixIPAddress {
public:
    TixIPAddress6() = default;
    ~TixIPAddress6() override;
    TixIPAddress6(const TixIPAddress6&) = delete;
    TixIPAddress6& operator=(const TixIPAddress6&) = delete;

    bool IsIPv6() const override;
    const sockaddr* GetSockAddr() const override;
    int GetFamily() const override;
    socklen_t GetSockAddrLength() const override;
    int GetPort() const override;
    void Clear() override;
    bool Parse(const std::string& text) override;
    void InitFamily(int family) override;
    void InitAny(int family) override;
    void SetPort(int port) override;
    std::string ToString() const override;
    sockaddr* MutableSockAddr() override;
    void SetSockAddrLength(socklen_t length) override;

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;  // 0: no address
};

// The text of an IPv6 address: upper-case groups, the first run of two or more zero groups as "::".
std::string Ipv6ToString(const unsigned char (&bytes)[16]);
// The text of a socket address of either family; empty for other families.
std::string SockAddrToString(const sockaddr* address);

class TixHostResolver {
public:
    virtual ~TixHostResolver() = default;
    virtual std::string GetHostIP(const std::string& host) = 0;
    virtual void GetHostIPList(const std::string& host, TixStringList& list) = 0;
};

class TixHostResolver6 : public TixHostResolver {
public:
    explicit TixHostResolver6(bool useIpV6) : useIpV6_(useIpV6) {}
    // A text that is already an address comes back unchanged, without a lookup. Otherwise the first
    // address of the preferred family, or the first address of any family.
    std::string GetHostIP(const std::string& host) override;
    void GetHostIPList(const std::string& host, TixStringList& list) override;

private:
    bool useIpV6_;
};

std::string GetHostIP(const std::string& host, bool useIpV6);
void GetHostIPList(const std::string& host, TixStringList& list);

}  // namespace ix
