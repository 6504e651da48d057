#pragma once
// SOCKS settings of a TCP client. An empty Server means a direct connection.

#include <string>

namespace ix {

enum class TixFirewallType { ftSocks4, ftSocks5, ftSocks4a };

class TixFirewallSettings {
public:
    TixFirewallType FirewallType() const { return firewallType_; }
    void SetFirewallType(TixFirewallType value) { firewallType_ = value; }
    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value) { server_ = value; }
    int Port() const { return port_; }
    void SetPort(int value) { port_ = value; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value) { userName_ = value; }
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& value) { password_ = value; }
    // True: the proxy resolves the target host; false: it is resolved here first.
    bool NeedResolveIP() const { return needResolveIP_; }
    void SetNeedResolveIP(bool value) { needResolveIP_ = value; }

    void Assign(const TixFirewallSettings& source) { *this = source; }
    bool operator==(const TixFirewallSettings&) const = default;

private:
    TixFirewallType firewallType_ = TixFirewallType::ftSocks4;
    std::string server_;
    int port_ = 1080;
    std::string userName_;
    std::string password_;
    bool needResolveIP_ = true;
};

// Sets type, server, port, user name and password from socks4://HOST:PORT, socks4a://HOST:PORT
// or socks5://[USER:PASSWORD@]HOST:PORT (an IPv6 host in brackets); false, with the settings
// untouched, for anything else.
bool ParseSocksProxyUrl(const std::string& url, TixFirewallSettings& settings);

}  // namespace ix
