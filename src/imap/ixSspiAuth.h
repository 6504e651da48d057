#pragma once
// NTLM login for SASL. Linux has no platform NTLM provider, so the client below builds the
// NTLMSSP messages itself: NTLMv2 responses only (LM and NTLMv1 are broken and refused by servers).

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ixStream.h"
#include "base/ixTypes.h"

namespace ix {

// Provider statuses of the failures, as the platform provider reports them.
constexpr int IX_SEC_E_INVALID_TOKEN = static_cast<int>(0x80090308u);
constexpr int IX_SEC_E_NO_CREDENTIALS = static_cast<int>(0x8009030Eu);

// Explicit credentials: "DOMAIN\user" or "DOMAIN/user" split at the first separator.
class TixAuthIdentity {
public:
    TixAuthIdentity(const std::string& user, const std::string& password);
    const std::string& User() const { return user_; }
    const std::string& Domain() const { return domain_; }
    const std::string& Password() const { return password_; }

private:
    std::string user_;
    std::string domain_;
    std::string password_;
};

// The parts of a server's CHALLENGE message the client uses.
struct TixNtlmChallenge {
    std::uint32_t flags = 0;
    std::uint8_t serverChallenge[8] = {};
    TixByteArray targetInfo;
    bool hasTimestamp = false;
    std::uint64_t timestamp = 0;
};

// Raises EixSSPIError for anything but a well-formed CHALLENGE, reading only inside [data, data+size).
TixNtlmChallenge ParseNtlmChallenge(const std::uint8_t* data, std::size_t size);

// NTOWFv2: the NTLMv2 response key of a user.
TixByteArray NtOwfV2(const std::string& user, const std::string& domain, const std::string& password);

// The NTLM token steps of one login, abstract so that a platform provider could stand behind it.
class TixNtAuthSspi {
public:
    virtual ~TixNtAuthSspi() = default;
    // The buffer's unread bytes are the server's token (none on the first step); on return it
    // holds the next token from its start. True when the exchange is complete.
    virtual bool GetNextToken(const std::string& package, TixStream& buffer, const TixAuthIdentity* identity,
                              const std::string& targetName) = 0;
};

class TixNtAuthClientSspi : public TixNtAuthSspi {
public:
    TixNtAuthClientSspi() = default;
    ~TixNtAuthClientSspi() override;
    TixNtAuthClientSspi(const TixNtAuthClientSspi&) = delete;
    TixNtAuthClientSspi& operator=(const TixNtAuthClientSspi&) = delete;

    bool GetNextToken(const std::string& package, TixStream& buffer, const TixAuthIdentity* identity,
                      const std::string& targetName) override;

    // Session key of the finished exchange (empty before).
    const TixByteArray& ExportedSessionKey() const { return sessionKey_; }

protected:
    // What a real exchange draws fresh; tests replace them to reproduce published values.
    virtual void RandomBytes(std::uint8_t* bytes, std::size_t count);
    // Windows FILETIME: 100 ns units since 1601-01-01 UTC.
    virtual std::uint64_t CurrentFileTime();
    virtual std::string Workstation();

private:
    TixByteArray Authenticate(const std::uint8_t* challenge, std::size_t size,
                              const TixAuthIdentity& identity);
    void Wipe();

    TixByteArray negotiate_;
    TixByteArray sessionKey_;
    bool negotiated_ = false;
};

}  // namespace ix
