#include "dns/ixDnsQuery.h"

#include <strings.h>
#include <fstream>
#include <sstream>

#include "text/ixIdnTranslator.h"
#include "text/ixUtils.h"
#include "transport/ixEventLoop.h"
#include "transport/ixIpAddress.h"

namespace ix {

namespace {

std::string WithoutFinalDot(std::string name) {
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return name;
}

bool SameName(const std::string& a, const std::string& b) {
    std::string x = WithoutFinalDot(a);
    std::string y = WithoutFinalDot(b);
    return x.size() == y.size() && strncasecmp(x.data(), y.data(), x.size()) == 0;
}

}  // namespace

TixDnsQuery::TixDnsQuery(TixComponent* owner) : TixComponent(owner) {}

TixDnsQuery::~TixDnsQuery() = default;

void TixDnsQuery::SetRootNameServers(const TixStringList& value) {
    if (rootNameServers_ == value) return;
    rootNameServers_.Assign(value);
    DoChanged();
}

TixUdpClient& TixDnsQuery::UdpClient() {
    if (udpClient_ == nullptr) udpClient_ = std::make_unique<TixUdpClient>();
    return *udpClient_;
}

TixTcpClient& TixDnsQuery::TcpClient() {
    if (tcpClient_ == nullptr) tcpClient_ = std::make_unique<TixTcpClient>();
    return *tcpClient_;
}

void TixDnsQuery::Query(const std::string& name, std::uint16_t recordType) {
    request_.Clear();
    response_.Clear();
    request_.Header.IsQuery = true;
    request_.Header.IsRecursionDesired = isRecursiveDesired_;
    auto question = CreateDnsRecord(recordType);
    question->Name = translateIdn_ ? TixIdnTranslator::Encode(name) : name;
    question->RecordClass = rcIN;
    request_.Queries.Add(std::move(question));
    Resolve();
    FillResults();
}

std::string TixDnsQuery::ResolveTXT(const std::string& name) {
    Query(name, IX_DNS_TYPE_TXT);
    std::vector<const TixDnsTxtRecord*> texts;
    for (int i = 0; i < response_.Answers.Count(); ++i) {
        if (auto txt = dynamic_cast<const TixDnsTxtRecord*>(&response_.Answers[i])) texts.push_back(txt);
    }
    if (texts.size() == 1) return texts.front()->Text;
    std::string result;
    for (const TixDnsTxtRecord* txt : texts) {
        if (!result.empty()) result += ',';
        result += GetQuotedString(txt->Text);
    }
    return result;
}

void TixDnsQuery::Resolve() {
    if (autodetectServer_ && server_.empty() && rootNameServers_.Empty())
        GetSystemNameServers(resolverConfigFile_, rootNameServers_);
    if (server_.empty() && !rootNameServers_.Empty()) {
        // The first server that completes stays in Server for later queries. A failed one is
        // skipped; when all fail, the last failure is raised rather than an empty response
        // passing for an answer.
        for (int i = 0; i < rootNameServers_.Count(); ++i) {
            server_ = rootNameServers_[i];
            try {
                response_.Clear();
                ResolveLevel(server_, 0, response_);
                return;
            } catch (const EixSocketError&) {
                server_.clear();
                if (i == rootNameServers_.Count() - 1) throw;
            }
        }
        return;
    }
    std::string saved = server_;
    try {
        ResolveLevel(server_, 0, response_);
    } catch (...) {
        server_ = saved;
        throw;
    }
    server_ = saved;
}

void TixDnsQuery::ResolveLevel(const std::string& host, int depth, TixDnsMessage& response) {
    if (depth > maxRecursiveQueries_) return;
    Exchange(host, response);
    if (!useRecursiveQueries_ || response.Answers.Count() > 0) return;
    std::string address = ReferralAddress(response);
    if (address.empty()) return;
    TixDnsMessage next;
    ResolveLevel(address, depth + 1, next);
    response.Assign(next);
}

std::string TixDnsQuery::ReferralAddress(const TixDnsMessage& response) {
    for (int i = 0; i < response.NameServers.Count(); ++i) {
        auto ns = dynamic_cast<const TixDnsNsRecord*>(&response.NameServers[i]);
        if (ns == nullptr) continue;
        for (int j = 0; j < response.AdditionalRecords.Count(); ++j) {
            auto a = dynamic_cast<const TixDnsARecord*>(&response.AdditionalRecords[j]);
            if (a != nullptr && SameName(a->Name, ns->NameServer)) return a->IPAddress;
        }
    }
    // No glue: ask for the name server's address through the root name servers.
    for (int i = 0; i < response.NameServers.Count(); ++i) {
        auto ns = dynamic_cast<const TixDnsNsRecord*>(&response.NameServers[i]);
        if (ns == nullptr) continue;
        TixDnsQuery lookup;
        lookup.port_ = port_;
        lookup.protocol_ = protocol_;
        lookup.timeOut_ = timeOut_;
        lookup.batchSize_ = batchSize_;
        lookup.isRecursiveDesired_ = isRecursiveDesired_;
        lookup.autodetectServer_ = autodetectServer_;
        lookup.usePrimaryServer_ = usePrimaryServer_;
        lookup.rootNameServers_ = rootNameServers_;
        lookup.translateIdn_ = false;
        lookup.bitsPerSec_ = bitsPerSec_;
        lookup.useIpV6_ = useIpV6_;
        lookup.localBinding_ = localBinding_;
        lookup.disableGuiProcessing_ = disableGuiProcessing_;
        lookup.resolverConfigFile_ = resolverConfigFile_;
        try {
            lookup.Query(ns->NameServer, IX_DNS_TYPE_A);
        } catch (const EixSocketError&) {
            continue;
        }
        for (int j = 0; j < lookup.response_.Answers.Count(); ++j) {
            if (auto a = dynamic_cast<const TixDnsARecord*>(&lookup.response_.Answers[j]))
                return a->IPAddress;
        }
    }
    return {};
}

void TixDnsQuery::Exchange(const std::string& host, TixDnsMessage& response) {
    // A fresh ID for every exchange, retries and referrals included.
    request_.Header.ID = TixDnsMessageHeader().ID;
    if (protocol_ != dpUseTcp) {
        ExchangeUdp(host, response);
        if (protocol_ == dpUseUdp || !response.Header.IsTruncated) return;
    }
    ExchangeTcp(host, response);
}

bool TixDnsQuery::IsReplyToRequest(const std::uint8_t* data, std::size_t size) const {
    try {
        TixDnsReader reader(data, size);
        if (reader.ReadWord() != request_.Header.ID) return false;
        std::uint16_t flags = reader.ReadWord();
        if ((flags & 0x8000) == 0) return false;
        std::uint16_t count = reader.ReadWord();
        // Refusals of a request the server could not read may leave the question out.
        if (count == 0) return (flags & 0x000F) != 0;
        if (count != 1 || request_.Queries.Count() != 1) return false;
        reader.Skip(6);
        const TixDnsRecord& question = request_.Queries[0];
        if (!SameName(reader.ReadName(), question.Name)) return false;
        return reader.ReadWord() == question.RecordType && reader.ReadWord() == 1;
    } catch (const EixDnsError&) {
        return false;
    }
}

void TixDnsQuery::ExchangeUdp(const std::string& host, TixDnsMessage& response) {
    TixUdpClient& client = UdpClient();
    client.Close();
    client.SetServer(host);
    client.SetPort(port_);
    client.SetDatagramSize(512);
    client.SetTimeOut(timeOut_);
    client.SetBitsPerSec(bitsPerSec_);
    client.SetUseIpV6(useIpV6_);
    client.SetLocalBinding(localBinding_);
    client.SetDisableGuiProcessing(disableGuiProcessing_);
    DoSetupUdpClient(client);

    TixMemoryStream packet;
    request_.Build(packet, 512);
    // A new socket, so a new random source port, for every exchange.
    client.Open();
    struct Closer {
        TixUdpClient& c;
        ~Closer() {
            try {
                c.Close();
            } catch (...) {
            }
        }
    } closer{client};
    packet.SetPosition(0);
    client.SendPacket(packet);
    packet.SetPosition(0);
    DoSendPacket(packet);

    TixUdpClientConnection& connection = client.GetConnection();
    const std::string serverIp = connection.PeerIP;
    const int serverPort = connection.PeerPort;
    const int timeOut = client.TimeOut();
    const std::int64_t start = TickCount();
    struct TimeOutRestore {
        TixUdpClientConnection& c;
        int value;
        ~TimeOutRestore() { c.TimeOut = value; }
    } restore{connection, timeOut};
    for (;;) {
        // Dropped datagrams do not extend the wait: each read gets what is left of TimeOut.
        if (timeOut >= 0) {
            std::int64_t left = timeOut - (TickCount() - start);
            if (left <= 0) RaiseSocketError(IX_TIMEOUT_ERROR);
            connection.TimeOut = static_cast<int>(left);
        }
        TixMemoryStream reply;
        client.ReceivePacket(reply);
        if (connection.IsAborted()) RaiseSocketError(IX_NOT_CONNECTED);
        if (connection.PeerIP != serverIp || connection.PeerPort != serverPort) continue;
        if (!IsReplyToRequest(reply.Memory(), static_cast<std::size_t>(reply.Size()))) continue;
        reply.SetPosition(0);
        DoReceivePacket(reply);
        response.Parse(reply.Memory(), static_cast<std::size_t>(reply.Size()));
        return;
    }
}

void TixDnsQuery::ExchangeTcp(const std::string& host, TixDnsMessage& response) {
    TixTcpClient& client = TcpClient();
    client.Close();
    client.SetServer(host);
    client.SetPort(port_);
    client.SetTimeOut(timeOut_);
    client.SetBatchSize(batchSize_);
    client.SetBitsPerSec(bitsPerSec_);
    client.SetUseIpV6(useIpV6_);
    client.SetLocalBinding(localBinding_);
    client.SetDisableGuiProcessing(disableGuiProcessing_);
    DoSetupTcpClient(client);

    // C: length (2 bytes, big-endian), request; S: length, reply (RFC 1035 section 4.2.2).
    TixMemoryStream packet;
    const std::uint8_t placeholder[2] = {0, 0};
    packet.WriteBuffer(placeholder, 2);
    request_.Build(packet, batchSize_ - 2);
    auto length = static_cast<std::uint16_t>(packet.Size() - 2);
    packet.Memory()[0] = static_cast<std::uint8_t>(length >> 8);
    packet.Memory()[1] = static_cast<std::uint8_t>(length);

    client.Open();
    struct Closer {
        TixTcpClient& c;
        ~Closer() {
            try {
                c.Close();
            } catch (...) {
            }
        }
    } closer{client};
    TixTcpClientConnection& connection = client.GetConnection();
    packet.SetPosition(0);
    connection.WriteData(&packet);
    packet.SetPosition(0);
    DoSendPacket(packet);

    TixMemoryStream reply;
    std::size_t needed = 2;
    for (;;) {
        if (static_cast<std::size_t>(reply.Size()) >= 2) {
            const std::uint8_t* p = reply.Memory();
            needed = 2 + ((static_cast<std::size_t>(p[0]) << 8) | p[1]);
        }
        if (static_cast<std::size_t>(reply.Size()) >= needed && needed > 2) break;
        // The server closed before the announced length arrived: a cut reply.
        if (!connection.Active()) throw EixDnsError(IX_DNS_DATAGRAM_ERROR);
        if (connection.IsAborted()) RaiseSocketError(IX_NOT_CONNECTED);
        connection.ReadData(&reply);
    }
    // Bytes past the announced length are not part of the reply.
    reply.SetSize(static_cast<std::int64_t>(needed));
    reply.SetPosition(0);
    DoReceivePacket(reply);
    const std::uint8_t* data = reply.Memory() + 2;
    std::size_t size = needed - 2;
    if (!IsReplyToRequest(data, size)) throw EixDnsError(IX_DNS_DATAGRAM_ERROR);
    response.Parse(data, size);
}

void TixDnsQuery::FillResults() {
    nameServers_.Clear();
    hostsA_.Clear();
    hostsAaaa_.Clear();
    aliases_.Clear();
    mailServers_.Clear();
    for (int i = 0; i < response_.NameServers.Count(); ++i) {
        if (auto ns = dynamic_cast<const TixDnsNsRecord*>(&response_.NameServers[i]))
            nameServers_.Add(ns->NameServer);
    }
    for (int i = 0; i < response_.AdditionalRecords.Count(); ++i) {
        const TixDnsRecord& r = response_.AdditionalRecords[i];
        if (auto a = dynamic_cast<const TixDnsARecord*>(&r)) hostsA_.Add(a->Name + "=" + a->IPAddress);
        if (auto aaaa = dynamic_cast<const TixDnsAaaaRecord*>(&r))
            hostsAaaa_.Add(aaaa->Name + "=" + aaaa->IPAddress);
        if (r.RecordType == IX_DNS_TYPE_CNAME) aliases_.Add(r.Name);
    }
    for (int i = 0; i < response_.Answers.Count(); ++i) {
        const TixDnsRecord& r = response_.Answers[i];
        if (r.RecordType == IX_DNS_TYPE_CNAME) aliases_.Add(r.Name);
        if (auto mx = dynamic_cast<const TixDnsMxRecord*>(&r)) mailServers_.Add(mx->MailServer);
    }
}

void TixDnsQuery::GetSystemNameServers(const std::string& fileName, TixStringList& list) {
    std::ifstream file(fileName);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (!(words >> keyword >> address) || keyword != "nameserver") continue;
        // A link-local address carries its interface ("fe80::1%eth0"); it is kept only when this
        // host knows that interface, since the address means nothing without it.
        if (!TixIPAddress::IsIpAddress(address)) continue;
        if (list.IndexOfExact(address) < 0) list.Add(address);
    }
}

void TixDnsQuery::DoSendPacket(TixStream& data) {
    if (OnSendPacket) OnSendPacket(this, data);
}

void TixDnsQuery::DoReceivePacket(TixStream& data) {
    if (OnReceivePacket) OnReceivePacket(this, data);
}

void TixDnsQuery::DoSetupUdpClient(TixUdpClient& client) {
    if (OnSetupUdpClient) OnSetupUdpClient(this, client);
}

void TixDnsQuery::DoSetupTcpClient(TixTcpClient& client) {
    if (OnSetupTcpClient) OnSetupTcpClient(this, client);
}

}  // namespace ix
