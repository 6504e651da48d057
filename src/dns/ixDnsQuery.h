#pragma once
// The DNS query component: sends one question to a name server over UDP, TCP, or UDP with a TCP
// retry when the answer is truncated, and collects the reply. Without a Server it asks
// RootNameServers in order (filled from the nameserver lines of the resolver configuration when
// both are empty), and with UseRecursiveQueries it follows referrals.
//
// A UDP reply counts only when it comes from the server's address and port and carries the
// request's random ID and question (RFC 5452); anything else is dropped while the wait goes on
// until TimeOut. Every operation blocks; errors are EixSocketError and EixDnsError.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/ixComponent.h"
#include "base/ixStringList.h"
#include "dns/ixDnsMessage.h"
#include "dns/ixUdpClient.h"
#include "transport/ixTcpClient.h"

namespace ix {

enum TixDnsProtocol : std::uint8_t { dpAutodetect, dpUseUdp, dpUseTcp };

using TixDnsPacketEvent = std::function<void(TixObject* Sender, TixStream& AData)>;
using TixDnsSetupUdpClientEvent = std::function<void(TixObject* Sender, TixUdpClient& AClient)>;
using TixDnsSetupTcpClientEvent = std::function<void(TixObject* Sender, TixTcpClient& AClient)>;

class TixDnsQuery : public TixComponent {
public:
    explicit TixDnsQuery(TixComponent* owner = nullptr);
    ~TixDnsQuery() override;

    // Asks for the records of one type of a name and fills the result lists.
    void Query(const std::string& name, std::uint16_t recordType);
    // The texts of the TXT records of the answer: one text as it is, several each between double
    // quotes and joined by ",". The response keeps every record and its strings one by one.
    std::string ResolveTXT(const std::string& name);
    // Sends the prepared request and fills the response. When every root name server fails, the
    // last failure is raised.
    void Resolve();

    // The nameserver addresses of a resolver configuration file (IPv4 and IPv6, in order, each
    // once) appended to list; a missing file adds nothing.
    static void GetSystemNameServers(const std::string& fileName, TixStringList& list);

    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value) { SetProperty(server_, value); }
    int Port() const { return port_; }
    void SetPort(int value) { SetProperty(port_, value); }
    TixDnsProtocol Protocol() const { return protocol_; }
    void SetProtocol(TixDnsProtocol value) { SetProperty(protocol_, value); }
    int TimeOut() const { return timeOut_; }
    void SetTimeOut(int value) { SetProperty(timeOut_, value); }
    int BatchSize() const { return batchSize_; }
    void SetBatchSize(int value) { SetProperty(batchSize_, value); }
    bool IsRecursiveDesired() const { return isRecursiveDesired_; }
    void SetIsRecursiveDesired(bool value) { SetProperty(isRecursiveDesired_, value); }
    bool UseRecursiveQueries() const { return useRecursiveQueries_; }
    void SetUseRecursiveQueries(bool value) { SetProperty(useRecursiveQueries_, value); }
    int MaxRecursiveQueries() const { return maxRecursiveQueries_; }
    void SetMaxRecursiveQueries(int value) { SetProperty(maxRecursiveQueries_, value); }
    bool AutodetectServer() const { return autodetectServer_; }
    void SetAutodetectServer(bool value) { SetProperty(autodetectServer_, value); }
    // Stored and copied to the queries made for referrals; it changes nothing in the exchange.
    bool UsePrimaryServer() const { return usePrimaryServer_; }
    void SetUsePrimaryServer(bool value) { SetProperty(usePrimaryServer_, value); }
    TixStringList& RootNameServers() { return rootNameServers_; }
    void SetRootNameServers(const TixStringList& value);
    bool TranslateIDN() const { return translateIdn_; }
    void SetTranslateIDN(bool value) { SetProperty(translateIdn_, value); }
    int BitsPerSec() const { return bitsPerSec_; }
    void SetBitsPerSec(int value) { SetProperty(bitsPerSec_, value); }
    bool UseIpV6() const { return useIpV6_; }
    void SetUseIpV6(bool value) { SetProperty(useIpV6_, value); }
    const std::string& LocalBinding() const { return localBinding_; }
    void SetLocalBinding(const std::string& value) { SetProperty(localBinding_, value); }
    bool DisableGuiProcessing() const { return disableGuiProcessing_; }
    void SetDisableGuiProcessing(bool value) { SetProperty(disableGuiProcessing_, value); }
    // Where autodetection reads its nameserver lines.
    const std::string& ResolverConfigFile() const { return resolverConfigFile_; }
    void SetResolverConfigFile(const std::string& value) { SetProperty(resolverConfigFile_, value); }

    TixDnsMessage& Request() { return request_; }
    TixDnsMessage& Response() { return response_; }
    // Filled after each query: names of the NS records of the authority section; name=address of
    // the A and of the AAAA records of the additional section; owner names of the CNAME records of
    // the answer and additional sections; mail server names of the MX records of the answer.
    const TixStringList& NameServers() const { return nameServers_; }
    const TixStringList& HostsA() const { return hostsA_; }
    const TixStringList& HostsAAAA() const { return hostsAaaa_; }
    const TixStringList& Aliases() const { return aliases_; }
    const TixStringList& MailServers() const { return mailServers_; }

    TixUdpClient& UdpClient();
    TixTcpClient& TcpClient();

    TixDnsPacketEvent OnSendPacket;
    TixDnsPacketEvent OnReceivePacket;
    TixDnsSetupUdpClientEvent OnSetupUdpClient;
    TixDnsSetupTcpClientEvent OnSetupTcpClient;

protected:
    virtual void DoSendPacket(TixStream& data);
    virtual void DoReceivePacket(TixStream& data);
    virtual void DoSetupUdpClient(TixUdpClient& client);
    virtual void DoSetupTcpClient(TixTcpClient& client);

private:
    // One referral level: asks host, and follows a referral into a fresh response.
    void ResolveLevel(const std::string& host, int depth, TixDnsMessage& response);
    void Exchange(const std::string& host, TixDnsMessage& response);
    void ExchangeUdp(const std::string& host, TixDnsMessage& response);
    void ExchangeTcp(const std::string& host, TixDnsMessage& response);
    // Whether the reply bytes answer the request: its ID, the response flag and its question.
    bool IsReplyToRequest(const std::uint8_t* data, std::size_t size) const;
    // The address of a name server of a referral, or empty.
    std::string ReferralAddress(const TixDnsMessage& response);
    void FillResults();

    std::string server_;
    int port_ = 53;
    TixDnsProtocol protocol_ = dpAutodetect;
    int timeOut_ = 5000;
    int batchSize_ = 16384;
    bool isRecursiveDesired_ = true;
    bool useRecursiveQueries_ = false;
    int maxRecursiveQueries_ = 4;
    bool autodetectServer_ = true;
    bool usePrimaryServer_ = false;
    TixStringList rootNameServers_;
    bool translateIdn_ = true;
    int bitsPerSec_ = 0;
    bool useIpV6_ = false;
    std::string localBinding_;
    bool disableGuiProcessing_ = false;
    std::string resolverConfigFile_ = "/etc/resolv.conf";

    TixDnsMessage request_;
    TixDnsMessage response_;
    TixStringList nameServers_;
    TixStringList hostsA_;
    TixStringList hostsAaaa_;
    TixStringList aliases_;
    TixStringList mailServers_;
    std::unique_ptr<TixUdpClient> udpClient_;
    std::unique_ptr<TixTcpClient> tcpClient_;
};

}  // namespace ix
