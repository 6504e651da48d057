#include "dns/ixDnsMessage.h"

#include <netinet/in.h>
#include <sys/random.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "transport/ixIpAddress.h"

namespace ix {

namespace {

// RFC 1035 section 2.3.4.
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxName = 255;
// A name of 255 bytes has at most 127 labels; more pointers than that cannot be a sound name.
constexpr int kMaxPointers = 127;
constexpr std::size_t kHeaderSize = 12;

[[noreturn]] void RaiseDatagramError() {
    throw EixDnsError(IX_DNS_DATAGRAM_ERROR);
}

std::uint16_t WireClass(TixDnsRecordClass value) {
    switch (value) {
        case rcCH:
            return 3;
        case rcHS:
            return 4;
        default:
            return 1;
    }
}

TixDnsRecordClass ClassFromWire(std::uint16_t value) {
    if (value == 3) return rcCH;
    if (value == 4) return rcHS;
    return rcIN;
}

std::uint16_t RandomId() {
    std::uint16_t id = 0;
    // getrandom of 2 bytes from an initialised pool never blocks nor comes back short.
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
        RaiseLastSocketError();
    }
    return id;
}

// A TXT character-string in presentation form: quoted, with " and \ escaped and bytes outside
// printable ASCII as \DDD.
std::string QuoteCharacterString(const std::string& text) {
    std::string result = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char buffer[5];
            std::snprintf(buffer, sizeof buffer, "\\%03u", c);
            result += buffer;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result + "\"";
}

}  // namespace

// ---- errors ----

std::string DnsErrorText(int errorCode) {
    switch (errorCode) {
        case IX_DNS_DATAGRAM_ERROR:
            return "The size of the datagram is invalid";
        case 1:
            return "Format error";
        case 2:
            return "Server failure";
        case 3:
            return "No such name";
        case 4:
            return "Not implemented";
        case 5:
            return "Refused";
        default:
            return "Unspecified error";
    }
}

EixDnsError::EixDnsError(int errorCode) : EixSocketError(DnsErrorText(errorCode), errorCode) {}

// ---- header ----

void TixDnsMessageHeader::Clear() {
    ID = RandomId();
    IsQuery = true;
    Opcode = 0;
    IsAuthoritativeAnswer = IsTruncated = IsRecursionDesired = IsRecursionAvailable = false;
    ResponseCode = 0;
    QueryCount = AnswerCount = NameServerCount = AdditionalCount = 0;
}

// ---- reader and writer ----

void TixDnsReader::Need(std::size_t count) const {
    std::size_t end = std::min(limit_, size_);
    if (position_ > end || count > end - position_) RaiseDatagramError();
}

std::uint8_t TixDnsReader::ReadByte() {
    Need(1);
    return data_[position_++];
}

std::uint16_t TixDnsReader::ReadWord() {
    Need(2);
    auto value = static_cast<std::uint16_t>((data_[position_] << 8) | data_[position_ + 1]);
    position_ += 2;
    return value;
}

std::uint32_t TixDnsReader::ReadDWord() {
    std::uint32_t high = ReadWord();
    return (high << 16) | ReadWord();
}

void TixDnsReader::ReadBytes(std::uint8_t* destination, std::size_t count) {
    Need(count);
    if (count > 0) std::memcpy(destination, data_ + position_, count);
    position_ += count;
}

void TixDnsReader::Skip(std::size_t count) {
    Need(count);
    position_ += count;
}

std::string TixDnsReader::ReadName() {
    std::string name;
    std::size_t wireLength = 1;  // the final zero byte
    std::size_t pos = position_;
    std::size_t end = std::min(limit_, size_);
    bool jumped = false;
    int pointers = 0;
    for (;;) {
        if (pos >= end) RaiseDatagramError();
        std::uint8_t length = data_[pos];
        if ((length & 0xC0) == 0xC0) {
            if (pos + 1 >= end) RaiseDatagramError();
            std::size_t target = (static_cast<std::size_t>(length & 0x3F) << 8) | data_[pos + 1];
            // Only backwards: a pointer to itself or further on could loop or read what the
            // record has not reached yet.
            if (target >= pos || ++pointers > kMaxPointers) RaiseDatagramError();
            if (!jumped) position_ = pos + 2;
            jumped = true;
            end = size_;
            pos = target;
            continue;
        }
        // 0x40 and 0x80 are the obsolete extended label types.
        if ((length & 0xC0) != 0) RaiseDatagramError();
        if (length == 0) {
            if (!jumped) position_ = pos + 1;
            return name;
        }
        wireLength += length + 1u;
        if (wireLength > kMaxName || pos + 1 + length > end) RaiseDatagramError();
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(data_ + pos + 1), length);
        pos += 1 + length;
    }
}

void TixDnsWriter::WriteWord(std::uint16_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(value));
}

void TixDnsWriter::WriteDWord(std::uint32_t value) {
    WriteWord(static_cast<std::uint16_t>(value >> 16));
    WriteWord(static_cast<std::uint16_t>(value));
}

void TixDnsWriter::WriteBytes(const void* data, std::size_t count) {
    auto bytes = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + count);
}

void TixDnsWriter::WriteName(const std::string& name) {
    std::size_t wireLength = 1;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        std::size_t length = dot - start;
        if (length > 0) {
            wireLength += length + 1;
            if (length > kMaxLabel || wireLength > kMaxName) RaiseDatagramError();
            WriteByte(static_cast<std::uint8_t>(length));
            WriteBytes(name.data() + start, length);
        }
        start = dot + 1;
    }
    WriteByte(0);
}

// ---- records ----

void TixDnsRecord::ReadData(TixDnsReader& /*reader*/) {}

void TixDnsRecord::WriteData(TixDnsWriter& /*writer*/) const {}

void TixDnsARecord::ReadData(TixDnsReader& reader) {
    std::uint8_t bytes[4];
    reader.ReadBytes(bytes, 4);
    IPAddress = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) +
                "." + std::to_string(bytes[3]);
}

void TixDnsARecord::WriteData(TixDnsWriter& writer) const {
    std::uint8_t bytes[4];
    const char* p = IPAddress.data();
    const char* end = p + IPAddress.size();
    for (int i = 0; i < 4; ++i) {
        unsigned value = 256;
        auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc{} || next == p || value > 255) throw EixDnsError(2);
        bytes[i] = static_cast<std::uint8_t>(value);
        p = next;
        if (i < 3) {
            if (p == end || *p != '.') throw EixDnsError(2);
            ++p;
        }
    }
    if (p != end) throw EixDnsError(2);
    writer.WriteBytes(bytes, 4);
}

void TixDnsNsRecord::ReadData(TixDnsReader& reader) {
    NameServer = reader.ReadName();
}

void TixDnsNsRecord::WriteData(TixDnsWriter& writer) const {
    writer.WriteName(NameServer);
}

void TixDnsCnameRecord::ReadData(TixDnsReader& reader) {
    PrimaryName = reader.ReadName();
}

void TixDnsCnameRecord::WriteData(TixDnsWriter& writer) const {
    writer.WriteName(PrimaryName);
}

std::string TixDnsSoaRecord::DataText() const {
    return PrimaryNameServer + ". " + ResponsibleMailbox + ". " + std::to_string(SerialNumber) + " " +
           std::to_string(RefreshInterval) + " " + std::to_string(RetryInterval) + " " +
           std::to_string(ExpirationLimit) + " " + std::to_string(MinimumTTL);
}

void TixDnsSoaRecord::ReadData(TixDnsReader& reader) {
    PrimaryNameServer = reader.ReadName();
    ResponsibleMailbox = reader.ReadName();
    SerialNumber = reader.ReadDWord();
    RefreshInterval = reader.ReadDWord();
    RetryInterval = reader.ReadDWord();
    ExpirationLimit = reader.ReadDWord();
    MinimumTTL = reader.ReadDWord();
}

void TixDnsSoaRecord::WriteData(TixDnsWriter& writer) const {
    writer.WriteName(PrimaryNameServer);
    writer.WriteName(ResponsibleMailbox);
    writer.WriteDWord(SerialNumber);
    writer.WriteDWord(RefreshInterval);
    writer.WriteDWord(RetryInterval);
    writer.WriteDWord(ExpirationLimit);
    writer.WriteDWord(MinimumTTL);
}

void TixDnsPtrRecord::ReadData(TixDnsReader& reader) {
    DomainName = reader.ReadName();
}

void TixDnsPtrRecord::WriteData(TixDnsWriter& writer) const {
    writer.WriteName(DomainName);
}

std::string TixDnsMxRecord::DataText() const {
    return std::to_string(Preference) + " " + MailServer + ".";
}

void TixDnsMxRecord::ReadData(TixDnsReader& reader) {
    Preference = reader.ReadWord();
    MailServer = reader.ReadName();
}

void TixDnsMxRecord::WriteData(TixDnsWriter& writer) const {
    if (MailServer.empty()) throw EixDnsError(2);
    writer.WriteWord(Preference);
    writer.WriteName(MailServer);
}

std::string TixDnsTxtRecord::DataText() const {
    std::string result;
    for (const std::string& s : Strings) {
        if (!result.empty()) result += ' ';
        result += QuoteCharacterString(s);
    }
    return result;
}

void TixDnsTxtRecord::ReadData(TixDnsReader& reader) {
    Strings.clear();
    Text.clear();
    // The reader's limit is the end of the data: a length beyond it raises the datagram error.
    while (reader.Position() < reader.Limit()) {
        std::uint8_t length = reader.ReadByte();
        std::string s(length, '\0');
        reader.ReadBytes(reinterpret_cast<std::uint8_t*>(s.data()), length);
        Text += s;
        Strings.push_back(std::move(s));
    }
}

void TixDnsTxtRecord::WriteData(TixDnsWriter& writer) const {
    if (Text.empty()) throw EixDnsError(2);
    std::string joined;
    bool fit = true;
    for (const std::string& s : Strings) {
        joined += s;
        fit = fit && s.size() <= 255;
    }
    if (fit && joined == Text) {
        for (const std::string& s : Strings) {
            writer.WriteByte(static_cast<std::uint8_t>(s.size()));
            writer.WriteBytes(s.data(), s.size());
        }
        return;
    }
    for (std::size_t start = 0; start < Text.size(); start += 255) {
        std::size_t length = std::min<std::size_t>(255, Text.size() - start);
        writer.WriteByte(static_cast<std::uint8_t>(length));
        writer.WriteBytes(Text.data() + start, length);
    }
}

void TixDnsAaaaRecord::ReadData(TixDnsReader& reader) {
    unsigned char bytes[16];
    reader.ReadBytes(bytes, 16);
    IPAddress = Ipv6ToString(bytes);
}

void TixDnsAaaaRecord::WriteData(TixDnsWriter& writer) const {
    TixIPAddress6 address;
    if (IPAddress.find(':') == std::string::npos || !address.Parse(IPAddress) || !address.IsIPv6())
        throw EixDnsError(2);
    auto sa = reinterpret_cast<const sockaddr_in6*>(address.GetSockAddr());
    writer.WriteBytes(sa->sin6_addr.s6_addr, 16);
}

std::unique_ptr<TixDnsRecord> CreateDnsRecord(std::uint16_t recordType) {
    std::unique_ptr<TixDnsRecord> record;
    switch (recordType) {
        case IX_DNS_TYPE_A:
            record = std::make_unique<TixDnsARecord>();
            break;
        case IX_DNS_TYPE_NS:
            record = std::make_unique<TixDnsNsRecord>();
            break;
        case IX_DNS_TYPE_CNAME:
            record = std::make_unique<TixDnsCnameRecord>();
            break;
        case IX_DNS_TYPE_SOA:
            record = std::make_unique<TixDnsSoaRecord>();
            break;
        case IX_DNS_TYPE_PTR:
            record = std::make_unique<TixDnsPtrRecord>();
            break;
        case IX_DNS_TYPE_MX:
            record = std::make_unique<TixDnsMxRecord>();
            break;
        case IX_DNS_TYPE_TXT:
            record = std::make_unique<TixDnsTxtRecord>();
            break;
        case IX_DNS_TYPE_AAAA:
            record = std::make_unique<TixDnsAaaaRecord>();
            break;
        default:
            record = std::make_unique<TixDnsRecord>();
            break;
    }
    record->RecordType = recordType;
    return record;
}

namespace {
struct TypeName {
    std::uint16_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {{IX_DNS_TYPE_A, "A"},         {IX_DNS_TYPE_NS, "NS"},
                                   {IX_DNS_TYPE_CNAME, "CNAME"}, {IX_DNS_TYPE_SOA, "SOA"},
                                   {IX_DNS_TYPE_PTR, "PTR"},     {IX_DNS_TYPE_MX, "MX"},
                                   {IX_DNS_TYPE_TXT, "TXT"},     {IX_DNS_TYPE_AAAA, "AAAA"}};
}  // namespace

std::string DnsTypeName(std::uint16_t recordType) {
    for (const TypeName& t : kTypeNames)
        if (t.type == recordType) return t.name;
    return "TYPE" + std::to_string(recordType);
}

std::uint16_t DnsTypeFromName(const std::string& name) {
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    for (const TypeName& t : kTypeNames)
        if (upper == t.name) return t.type;
    unsigned value = 0;
    if (upper.rfind("TYPE", 0) == 0) {
        auto [next, error] = std::from_chars(upper.data() + 4, upper.data() + upper.size(), value);
        if (error == std::errc{} && next == upper.data() + upper.size() && value <= 0xFFFF)
            return static_cast<std::uint16_t>(value);
    }
    return 0;
}

// ---- record list ----

TixDnsRecord* TixDnsRecordList::Add(std::unique_ptr<TixDnsRecord> record) {
    items_.push_back(std::move(record));
    return items_.back().get();
}

TixDnsRecord& TixDnsRecordList::Items(int index) const {
    if (index < 0 || index >= Count())
        throw EixError("List index out of bounds (" + std::to_string(index) + ")");
    return *items_[static_cast<std::size_t>(index)];
}

void TixDnsRecordList::Assign(const TixDnsRecordList& other) {
    std::vector<std::unique_ptr<TixDnsRecord>> copy;
    copy.reserve(other.items_.size());
    for (const auto& record : other.items_)
        copy.push_back(record->Clone());
    items_ = std::move(copy);
}

// ---- message ----

void TixDnsMessage::Clear() {
    Header.Clear();
    Queries.Clear();
    Answers.Clear();
    NameServers.Clear();
    AdditionalRecords.Clear();
}

void TixDnsMessage::Assign(const TixDnsMessage& other) {
    Header = other.Header;
    Queries.Assign(other.Queries);
    Answers.Assign(other.Answers);
    NameServers.Assign(other.NameServers);
    AdditionalRecords.Assign(other.AdditionalRecords);
}

void TixDnsMessage::Build(TixStream& stream, int bufferSize) {
    if (bufferSize <= 0) bufferSize = 512;
    Header.QueryCount = static_cast<std::uint16_t>(Queries.Count());
    Header.AnswerCount = static_cast<std::uint16_t>(Answers.Count());
    Header.NameServerCount = static_cast<std::uint16_t>(NameServers.Count());
    Header.AdditionalCount = static_cast<std::uint16_t>(AdditionalRecords.Count());
    if (Queries.Count() > 0xFFFF || Answers.Count() > 0xFFFF || NameServers.Count() > 0xFFFF ||
        AdditionalRecords.Count() > 0xFFFF)
        RaiseDatagramError();

    TixByteArray bytes;
    bytes.reserve(512);
    TixDnsWriter writer(bytes);
    writer.WriteWord(Header.ID);
    std::uint16_t flags = 0;
    if (!Header.IsQuery) flags |= 0x8000;
    if (Header.Opcode == 1) flags |= 0x0800;
    if (Header.Opcode == 2) flags |= 0x1000;
    if (Header.IsAuthoritativeAnswer) flags |= 0x0400;
    if (Header.IsTruncated) flags |= 0x0200;
    if (Header.IsRecursionDesired) flags |= 0x0100;
    if (Header.IsRecursionAvailable) flags |= 0x0080;
    flags |= static_cast<std::uint16_t>(Header.ResponseCode & 0x0F);
    writer.WriteWord(flags);
    writer.WriteWord(Header.QueryCount);
    writer.WriteWord(Header.AnswerCount);
    writer.WriteWord(Header.NameServerCount);
    writer.WriteWord(Header.AdditionalCount);

    for (int i = 0; i < Queries.Count(); ++i) {
        const TixDnsRecord& q = Queries[i];
        writer.WriteName(q.Name);
        writer.WriteWord(q.RecordType);
        writer.WriteWord(WireClass(q.RecordClass));
    }
    for (const TixDnsRecordList* list : {&Answers, &NameServers, &AdditionalRecords}) {
        for (int i = 0; i < list->Count(); ++i) {
            const TixDnsRecord& r = (*list)[i];
            writer.WriteName(r.Name);
            writer.WriteWord(r.RecordType);
            writer.WriteWord(WireClass(r.RecordClass));
            writer.WriteDWord(r.TTL);
            std::size_t lengthAt = writer.Position();
            writer.WriteWord(0);
            r.WriteData(writer);
            std::size_t length = writer.Position() - lengthAt - 2;
            if (length > 0xFFFF) RaiseDatagramError();
            bytes[lengthAt] = static_cast<std::uint8_t>(length >> 8);
            bytes[lengthAt + 1] = static_cast<std::uint8_t>(length);
        }
    }
    if (bytes.size() > static_cast<std::size_t>(bufferSize)) RaiseDatagramError();
    stream.WriteBuffer(bytes.data(), bytes.size());
}

void TixDnsMessage::Parse(TixStream& stream) {
    std::int64_t remaining = std::max<std::int64_t>(0, stream.Remaining());
    TixByteArray bytes(static_cast<std::size_t>(remaining));
    if (!bytes.empty()) stream.ReadBuffer(bytes.data(), bytes.size());
    Parse(bytes.data(), bytes.size());
}

void TixDnsMessage::Parse(const std::uint8_t* data, std::size_t size) {
    Clear();
    if (size < kHeaderSize) RaiseDatagramError();
    TixDnsReader reader(data, size);
    Header.ID = reader.ReadWord();
    std::uint16_t flags = reader.ReadWord();
    Header.IsQuery = (flags & 0x8000) == 0;
    switch (flags & 0x7800) {
        case 0x0800:
            Header.Opcode = 1;
            break;
        case 0x1000:
            Header.Opcode = 2;
            break;
        default:
            Header.Opcode = 0;
            break;
    }
    Header.IsAuthoritativeAnswer = (flags & 0x0400) != 0;
    Header.IsTruncated = (flags & 0x0200) != 0;
    Header.IsRecursionDesired = (flags & 0x0100) != 0;
    Header.IsRecursionAvailable = (flags & 0x0080) != 0;
    Header.ResponseCode = flags & 0x000F;
    Header.QueryCount = reader.ReadWord();
    Header.AnswerCount = reader.ReadWord();
    Header.NameServerCount = reader.ReadWord();
    Header.AdditionalCount = reader.ReadWord();

    for (int i = 0; i < Header.QueryCount; ++i) {
        std::string name = reader.ReadName();
        std::uint16_t type = reader.ReadWord();
        std::uint16_t recordClass = reader.ReadWord();
        auto record = CreateDnsRecord(type);
        record->Name = std::move(name);
        record->RecordClass = ClassFromWire(recordClass);
        Queries.Add(std::move(record));
    }
    struct Section {
        std::uint16_t count;
        TixDnsRecordList* list;
    };
    for (Section section :
         {Section{Header.AnswerCount, &Answers}, Section{Header.NameServerCount, &NameServers},
          Section{Header.AdditionalCount, &AdditionalRecords}}) {
        for (int i = 0; i < section.count; ++i) {
            std::string name = reader.ReadName();
            std::uint16_t type = reader.ReadWord();
            std::uint16_t recordClass = reader.ReadWord();
            std::uint32_t ttl = reader.ReadDWord();
            std::uint16_t length = reader.ReadWord();
            std::size_t dataStart = reader.Position();
            if (length > size - dataStart) RaiseDatagramError();
            auto record = CreateDnsRecord(type);
            record->Name = std::move(name);
            record->RecordClass = ClassFromWire(recordClass);
            record->TTL = ttl;
            record->DataLength = length;
            reader.SetLimit(dataStart + length);
            record->ReadData(reader);
            // Whatever the type's reader left (all of it for a type without one) is skipped.
            reader.SetLimit(size);
            reader.Skip(dataStart + length - reader.Position());
            section.list->Add(std::move(record));
        }
    }
    if (Header.ResponseCode != 0) throw EixDnsError(Header.ResponseCode);
}

}  // namespace ix
