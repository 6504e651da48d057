#include "transport/ixFirewallUtils.h"

#include <charconv>

namespace ix {

bool ParseSocksProxyUrl(const std::string& url, TixFirewallSettings& settings) {
    static const std::pair<const char*, TixFirewallType> schemes[] = {
        {"socks4://", TixFirewallType::ftSocks4},
        {"socks4a://", TixFirewallType::ftSocks4a},
        {"socks5://", TixFirewallType::ftSocks5},
    };
    std::string rest;
    TixFirewallType type{};
    bool known = false;
    for (const auto& [prefix, value] : schemes) {
        if (url.rfind(prefix, 0) == 0) {
            rest = url.substr(std::string(prefix).size());
            type = value;
            known = true;
        }
    }
    if (!known) return false;
    std::string user, password;
    // The password may hold an "@"; the host never does.
    auto at = rest.rfind('@');
    if (at != std::string::npos) {
        if (type != TixFirewallType::ftSocks5) return false;
        std::string credentials = rest.substr(0, at);
        rest.erase(0, at + 1);
        auto colon = credentials.find(':');
        user = credentials.substr(0, colon);
        if (colon != std::string::npos) password = credentials.substr(colon + 1);
        if (user.empty()) return false;
    }
    std::string host;
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        auto colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
    }
    int port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (host.empty() || error != std::errc() || end != portText.data() + portText.size() || port < 1 ||
        port > 65535)
        return false;
    settings.SetFirewallType(type);
    settings.SetServer(host);
    settings.SetPort(port);
    settings.SetUserName(user);
    settings.SetPassword(password);
    return true;
}

}  // namespace ix
