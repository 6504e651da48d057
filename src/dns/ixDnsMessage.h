#pragma once
// DNS messages (RFC 1035): the header, four record lists and a record class per supported type,
// written to and read from byte streams. Reading treats the bytes as hostile: compression
// pointers only point backwards and are bounded, names and labels keep their RFC limits, and
// every count and length must lie within the message. Errors are EixDnsError; a partly parsed
// message keeps the records read so far.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ixStream.h"
#include "base/ixTypes.h"
#include "transport/ixSocketError.h"

namespace ix {

// Malformed data: code -1 with "The size of the datagram is invalid"; response codes 1-5 with
// their texts, any other code "Unspecified error".
class EixDnsError : public EixSocketError {
public:
    using EixSocketError::EixSocketError;
    explicit EixDnsError(int errorCode);
};

constexpr int IX_DNS_DATAGRAM_ERROR = -1;
std::string DnsErrorText(int errorCode);

constexpr std::uint16_t IX_DNS_TYPE_A = 1;
constexpr std::uint16_t IX_DNS_TYPE_NS = 2;
constexpr std::uint16_t IX_DNS_TYPE_CNAME = 5;
constexpr std::uint16_t IX_DNS_TYPE_SOA = 6;
constexpr std::uint16_t IX_DNS_TYPE_PTR = 12;
constexpr std::uint16_t IX_DNS_TYPE_MX = 15;
constexpr std::uint16_t IX_DNS_TYPE_TXT = 16;
constexpr std::uint16_t IX_DNS_TYPE_AAAA = 28;

// Wire values 1, 3 and 4; any other value reads as rcIN.
enum TixDnsRecordClass : std::uint8_t { rcIN, rcCH, rcHS };

class TixDnsMessageHeader {
public:
    TixDnsMessageHeader() { Clear(); }
    // A new random ID (so that a reply cannot be guessed, RFC 5452) and everything else zero.
    void Clear();

    std::uint16_t ID = 0;
    bool IsQuery = true;
    int Opcode = 0;  // 0 standard query, 1 inverse query, 2 status
    bool IsAuthoritativeAnswer = false;
    bool IsTruncated = false;
    bool IsRecursionDesired = false;
    bool IsRecursionAvailable = false;
    int ResponseCode = 0;
    std::uint16_t QueryCount = 0;
    std::uint16_t AnswerCount = 0;
    std::uint16_t NameServerCount = 0;
    std::uint16_t AdditionalCount = 0;
};

class TixDnsReader;
class TixDnsWriter;

// A record of a type without a class of its own: owner, type, class, TTL and no data.
class TixDnsRecord : public TixObject {
public:
    std::string Name;
    std::uint16_t RecordType = 0;
    TixDnsRecordClass RecordClass = rcIN;
    std::uint32_t TTL = 0;
    std::uint16_t DataLength = 0;

    virtual std::unique_ptr<TixDnsRecord> Clone() const { return std::make_unique<TixDnsRecord>(*this); }
    // The data in presentation form ("10 mail.example.") without owner, TTL, class and type.
    virtual std::string DataText() const { return {}; }
    // Reads DataLength bytes of data; writes the data (the caller writes the length).
    virtual void ReadData(TixDnsReader& reader);
    virtual void WriteData(TixDnsWriter& writer) const;
};

class TixDnsARecord : public TixDnsRecord {
public:
    std::string IPAddress;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsARecord>(*this); }
    std::string DataText() const override { return IPAddress; }
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

class TixDnsNsRecord : public TixDnsRecord {
public:
    std::string NameServer;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsNsRecord>(*this); }
    std::string DataText() const override { return NameServer + "."; }
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

class TixDnsCnameRecord : public TixDnsRecord {
public:
    std::string PrimaryName;
    std::unique_ptr<TixDnsRecord> Clone() const override {
        return std::make_unique<TixDnsCnameRecord>(*this);
    }
    std::string DataText() const override { return PrimaryName + "."; }
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

class TixDnsSoaRecord : public TixDnsRecord {
public:
    std::string PrimaryNameServer;
    std::string ResponsibleMailbox;
    std::uint32_t SerialNumber = 0;
    std::uint32_t RefreshInterval = 0;
    std::uint32_t RetryInterval = 0;
    std::uint32_t ExpirationLimit = 0;
    std::uint32_t MinimumTTL = 0;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsSoaRecord>(*this); }
    std::string DataText() const override;
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

class TixDnsPtrRecord : public TixDnsRecord {
public:
    std::string DomainName;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsPtrRecord>(*this); }
    std::string DataText() const override { return DomainName + "."; }
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

class TixDnsMxRecord : public TixDnsRecord {
public:
    std::uint16_t Preference = 0;
    std::string MailServer;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsMxRecord>(*this); }
    std::string DataText() const override;
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

// Every character-string of the record is read: Strings holds them one by one and Text joined,
// as DKIM keys longer than one string need (RFC 6376 section 3.6.2.2). Writing uses Strings when
// they join to Text, and otherwise splits Text into strings of at most 255 bytes.
class TixDnsTxtRecord : public TixDnsRecord {
public:
    std::string Text;
    std::vector<std::string> Strings;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsTxtRecord>(*this); }
    std::string DataText() const override;
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

// IPAddress in the normal form of an IPv6 address text (upper-case groups, "::" for zeros).
class TixDnsAaaaRecord : public TixDnsRecord {
public:
    std::string IPAddress;
    std::unique_ptr<TixDnsRecord> Clone() const override { return std::make_unique<TixDnsAaaaRecord>(*this); }
    std::string DataText() const override { return IPAddress; }
    void ReadData(TixDnsReader& reader) override;
    void WriteData(TixDnsWriter& writer) const override;
};

// The record class for a type number (the base class for types without one).
std::unique_ptr<TixDnsRecord> CreateDnsRecord(std::uint16_t recordType);
// "A", "TXT", ... for the supported types, "TYPE<n>" otherwise; and back (0 when unknown).
std::string DnsTypeName(std::uint16_t recordType);
std::uint16_t DnsTypeFromName(const std::string& name);

class TixDnsRecordList {
public:
    TixDnsRecordList() = default;
    TixDnsRecordList(const TixDnsRecordList& other) { Assign(other); }
    TixDnsRecordList& operator=(const TixDnsRecordList& other) {
        if (this != &other) Assign(other);
        return *this;
    }

    // Takes the record and answers it.
    TixDnsRecord* Add(std::unique_ptr<TixDnsRecord> record);
    int Count() const { return static_cast<int>(items_.size()); }
    // Raises EixError on a bad index.
    TixDnsRecord& Items(int index) const;
    TixDnsRecord& operator[](int index) const { return Items(index); }
    void Clear() { items_.clear(); }
    void Assign(const TixDnsRecordList& other);

private:
    std::vector<std::unique_ptr<TixDnsRecord>> items_;
};

class TixDnsMessage : public TixObject {
public:
    TixDnsMessage() = default;
    TixDnsMessage(const TixDnsMessage& other) : TixObject(other) { Assign(other); }
    TixDnsMessage& operator=(const TixDnsMessage& other) {
        if (this != &other) Assign(other);
        return *this;
    }

    // Sets the counts from the lists and writes the message at the stream's position; a message
    // larger than bufferSize bytes (0: 512) raises the datagram error and writes nothing.
    void Build(TixStream& stream, int bufferSize = 0);
    // Clears the message and reads it from the stream's position to its end. A non-zero
    // response code raises its EixDnsError after all records were read.
    void Parse(TixStream& stream);
    void Parse(const std::uint8_t* data, std::size_t size);
    void Clear();
    void Assign(const TixDnsMessage& other);

    TixDnsMessageHeader Header;
    TixDnsRecordList Queries;
    TixDnsRecordList Answers;
    TixDnsRecordList NameServers;
    TixDnsRecordList AdditionalRecords;
};

// The cursor over a received message that record classes read their data with. Every read is
// checked against the end of the message and, inside a record, against the end of its data.
class TixDnsReader {
public:
    TixDnsReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t ReadByte();
    std::uint16_t ReadWord();
    std::uint32_t ReadDWord();
    void ReadBytes(std::uint8_t* destination, std::size_t count);
    void Skip(std::size_t count);
    // A name, following compression pointers; labels joined with ".".
    std::string ReadName();
    // Where reading must stop: the end of the message, or of the current record's data.
    void SetLimit(std::size_t limit) { limit_ = limit; }
    std::size_t Limit() const { return limit_; }
    std::size_t Position() const { return position_; }
    std::size_t Size() const { return size_; }

private:
    void Need(std::size_t count) const;

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::size_t limit_ = static_cast<std::size_t>(-1);
};

class TixDnsWriter {
public:
    explicit TixDnsWriter(TixByteArray& bytes) : bytes_(bytes) {}
    void WriteByte(std::uint8_t value) { bytes_.push_back(value); }
    void WriteWord(std::uint16_t value);
    void WriteDWord(std::uint32_t value);
    void WriteBytes(const void* data, std::size_t count);
    // Labels of at most 63 bytes, names of at most 255 bytes on the wire, else the datagram error.
    void WriteName(const std::string& name);
    std::size_t Position() const { return bytes_.size(); }
    TixByteArray& Bytes() { return bytes_; }

private:
    TixByteArray& bytes_;
};

}  // namespace ix
