#include "imap/ixSspiAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <locale.h>
#include <strings.h>
#include <wctype.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <clocale>
#include <cstring>

#include "crypto/ixCryptMac.h"
#include "tls/ixSspi.h"

namespace ix {

namespace {

// Provider statuses the failures correspond to.
constexpr int SEC_E_INVALID_TOKEN = IX_SEC_E_INVALID_TOKEN;
constexpr int SEC_E_NO_CREDENTIALS = IX_SEC_E_NO_CREDENTIALS;
constexpr int SEC_E_INTERNAL_ERROR = static_cast<int>(0x80090304u);
constexpr int SEC_E_OUT_OF_SEQUENCE = static_cast<int>(0x80090310u);

constexpr std::uint32_t NEGOTIATE_UNICODE = 0x00000001;
constexpr std::uint32_t REQUEST_TARGET = 0x00000004;
constexpr std::uint32_t NEGOTIATE_SIGN = 0x00000010;
constexpr std::uint32_t NEGOTIATE_SEAL = 0x00000020;
constexpr std::uint32_t NEGOTIATE_NTLM = 0x00000200;
constexpr std::uint32_t NEGOTIATE_ALWAYS_SIGN = 0x00008000;
constexpr std::uint32_t NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
constexpr std::uint32_t NEGOTIATE_TARGET_INFO = 0x00800000;
constexpr std::uint32_t NEGOTIATE_VERSION = 0x02000000;
constexpr std::uint32_t NEGOTIATE_128 = 0x20000000;
constexpr std::uint32_t NEGOTIATE_KEY_EXCH = 0x40000000;
constexpr std::uint32_t NEGOTIATE_56 = 0x80000000;
constexpr std::uint32_t CLIENT_FLAGS = NEGOTIATE_UNICODE | REQUEST_TARGET | NEGOTIATE_SIGN | NEGOTIATE_SEAL |
                                       NEGOTIATE_NTLM | NEGOTIATE_ALWAYS_SIGN |
                                       NEGOTIATE_EXTENDED_SESSIONSECURITY | NEGOTIATE_TARGET_INFO |
                                       NEGOTIATE_VERSION | NEGOTIATE_128 | NEGOTIATE_KEY_EXCH | NEGOTIATE_56;

constexpr std::uint16_t AV_EOL = 0;
constexpr std::uint16_t AV_FLAGS = 6;
constexpr std::uint16_t AV_TIMESTAMP = 7;
constexpr std::uint32_t AV_FLAG_MIC = 0x00000002;

// Version 6.1, build 0, NTLM revision 15: informational only.
constexpr std::uint8_t CLIENT_VERSION[8] = {6, 1, 0, 0, 0, 0, 0, 15};
constexpr std::uint8_t SIGNATURE[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
// A challenge is one IMAP line; anything larger is not from an honest server.
constexpr std::size_t MAX_CHALLENGE = 64 * 1024;

[[noreturn]] void BadToken(const char* what) {
    throw EixSSPIError(std::string("Invalid NTLM challenge: ") + what, SEC_E_INVALID_TOKEN);
}

std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(TixByteArray& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(TixByteArray& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put64(TixByteArray& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Append(TixByteArray& out, const std::uint8_t* p, std::size_t n) {
    out.insert(out.end(), p, p + n);
}
void Append(TixByteArray& out, const TixByteArray& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// UTF-16LE of UTF-8 text, optionally upper-cased as NTOWFv2 wants the user name; bad bytes
// become U+FFFD rather than failing the login.
TixByteArray Utf16(const std::string& text, bool upper) {
    locale_t loc = upper ? newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)) : nullptr;
    TixByteArray out;
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<std::uint8_t>(text[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t n = b < 0x80             ? 1
                        : (b & 0xE0) == 0xC0 ? 2
                        : (b & 0xF0) == 0xE0 ? 3
                        : (b & 0xF8) == 0xF0 ? 4
                                             : 0;
        if (n == 1) {
            cp = b;
        } else if (n > 1 && i + n <= text.size()) {
            cp = b & (0x7F >> n);
            for (std::size_t k = 1; k < n; ++k) {
                auto c = static_cast<std::uint8_t>(text[i + k]);
                if ((c & 0xC0) != 0x80) {
                    cp = 0xFFFD;
                    n = k;
                    break;
                }
                cp = (cp << 6) | (c & 0x3F);
            }
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        }
        i += n == 0 ? 1 : n;
        if (upper) {
            if (loc != nullptr)
                cp = static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(cp), loc));
            else if (cp >= 'a' && cp <= 'z')
                cp -= 32;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            Put16(out, static_cast<std::uint16_t>(0xD800 | (cp >> 10)));
            Put16(out, static_cast<std::uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            Put16(out, static_cast<std::uint16_t>(cp));
        }
    }
    if (loc != nullptr) freelocale(loc);
    return out;
}

TixByteArray HmacMd5(const TixByteArray& key, const TixByteArray& data) {
    TixHmacMd5 mac;
    mac.Init(key, 0, key.size());
    mac.Update(data);
    return mac.Digest();
}

// MD4 lives in OpenSSL's legacy provider; a library context of our own keeps the process-wide
// default context as the application configured it.
TixByteArray Md4(const TixByteArray& data) {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* legacy = ctx != nullptr ? OSSL_PROVIDER_load(ctx, "legacy") : nullptr;
    OSSL_PROVIDER* base = ctx != nullptr ? OSSL_PROVIDER_load(ctx, "default") : nullptr;
    EVP_MD* md = legacy != nullptr ? EVP_MD_fetch(ctx, "MD4", nullptr) : nullptr;
    TixByteArray digest(16);
    unsigned int size = 0;
    bool ok = md != nullptr && EVP_Digest(data.data(), data.size(), digest.data(), &size, md, nullptr) == 1;
    EVP_MD_free(md);
    if (base != nullptr) OSSL_PROVIDER_unload(base);
    if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
    OSSL_LIB_CTX_free(ctx);
    if (!ok)
        throw EixSSPIError("MD4 for NTLM is not available (OpenSSL legacy provider)", SEC_E_INTERNAL_ERROR);
    return digest;
}

TixByteArray Rc4(const TixByteArray& key, const TixByteArray& data) {
    std::array<std::uint8_t, 256> s{};
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % key.size()]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    TixByteArray out(data.size());
    for (std::size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out[n] = data[n] ^ s[(s[i] + s[j]) & 0xFF];
    }
    OPENSSL_cleanse(s.data(), s.size());
    return out;
}

struct Field {
    std::size_t offset;
    std::size_t length;
};

// A (length, max length, offset) descriptor at pos, checked to lie inside the message.
Field ReadField(const std::uint8_t* data, std::size_t size, std::size_t pos, const char* name) {
    Field f{Get32(data + pos + 4), Get16(data + pos)};
    if (f.offset > size || f.length > size - f.offset) BadToken(name);
    return f;
}

void WriteField(TixByteArray& msg, std::size_t pos, std::size_t length, std::size_t offset) {
    const std::uint8_t bytes[8] = {
        static_cast<std::uint8_t>(length),       static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length),       static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(offset),       static_cast<std::uint8_t>(offset >> 8),
        static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 24)};
    std::copy_n(bytes, 8, msg.begin() + static_cast<std::ptrdiff_t>(pos));
}

// The target information as sent back: the server's pairs with the MIC flag added.
TixByteArray TargetInfoWithMic(const TixByteArray& info) {
    TixByteArray out;
    bool flagged = false;
    for (std::size_t pos = 0; pos + 4 <= info.size();) {
        std::uint16_t id = Get16(info.data() + pos);
        std::uint16_t len = Get16(info.data() + pos + 2);
        if (id == AV_EOL) break;
        std::size_t start = out.size();
        Append(out, info.data() + pos, 4u + len);
        if (id == AV_FLAGS && len == 4) {
            std::uint32_t flags = Get32(out.data() + start + 4) | AV_FLAG_MIC;
            out.resize(start + 4);
            Put32(out, flags);
            flagged = true;
        }
        pos += 4u + len;
    }
    if (!flagged) {
        Put16(out, AV_FLAGS);
        Put16(out, 4);
        Put32(out, AV_FLAG_MIC);
    }
    Put32(out, 0);  // MsvAvEOL
    return out;
}

}  // namespace

TixAuthIdentity::TixAuthIdentity(const std::string& user, const std::string& password) : password_(password) {
    std::size_t sep = user.find('\\');
    if (sep == std::string::npos) sep = user.find('/');
    if (sep == std::string::npos) {
        user_ = user;
    } else {
        domain_ = user.substr(0, sep);
        user_ = user.substr(sep + 1);
    }
}

TixNtlmChallenge ParseNtlmChallenge(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_CHALLENGE) BadToken("too large");
    if (size < 32) BadToken("truncated");
    if (std::memcmp(data, SIGNATURE, 8) != 0) BadToken("wrong signature");
    if (Get32(data + 8) != 2) BadToken("not a CHALLENGE message");
    ReadField(data, size, 12, "target name out of bounds");
    TixNtlmChallenge c;
    c.flags = Get32(data + 20);
    std::copy_n(data + 24, 8, c.serverChallenge);
    if (size >= 48 && (c.flags & NEGOTIATE_TARGET_INFO) != 0) {
        Field info = ReadField(data, size, 40, "target information out of bounds");
        c.targetInfo.assign(data + info.offset, data + info.offset + info.length);
    }
    // The pairs must be whole and end with MsvAvEOL; the MIC depends on finding the time stamp.
    const TixByteArray& info = c.targetInfo;
    bool ended = info.empty();
    for (std::size_t pos = 0; !ended;) {
        if (info.size() - pos < 4) BadToken("target information truncated");
        std::uint16_t id = Get16(info.data() + pos);
        std::size_t len = Get16(info.data() + pos + 2);
        pos += 4;
        if (len > info.size() - pos) BadToken("target information pair out of bounds");
        if (id == AV_EOL) {
            ended = true;
        } else if (id == AV_TIMESTAMP) {
            if (len != 8) BadToken("bad time stamp");
            c.hasTimestamp = true;
            c.timestamp =
                Get32(info.data() + pos) | (static_cast<std::uint64_t>(Get32(info.data() + pos + 4)) << 32);
        }
        pos += len;
    }
    if ((c.flags & NEGOTIATE_UNICODE) == 0) BadToken("the server does not offer Unicode");
    return c;
}

TixByteArray NtOwfV2(const std::string& user, const std::string& domain, const std::string& password) {
    TixByteArray hash = Md4(Utf16(password, false));
    TixByteArray name = Utf16(user, true);
    Append(name, Utf16(domain, false));
    TixByteArray key = HmacMd5(hash, name);
    OPENSSL_cleanse(hash.data(), hash.size());
    return key;
}

TixNtAuthClientSspi::~TixNtAuthClientSspi() {
    Wipe();
}

void TixNtAuthClientSspi::Wipe() {
    OPENSSL_cleanse(sessionKey_.data(), sessionKey_.size());
    sessionKey_.clear();
    negotiate_.clear();
    negotiated_ = false;
}

void TixNtAuthClientSspi::RandomBytes(std::uint8_t* bytes, std::size_t count) {
    if (RAND_bytes(bytes, static_cast<int>(count)) != 1)
        throw EixSSPIError("No random bytes for NTLM", SEC_E_INTERNAL_ERROR);
}

std::uint64_t TixNtAuthClientSspi::CurrentFileTime() {
    using namespace std::chrono;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<std::uint64_t>(since1970) + 116444736000000000ull;
}

std::string TixNtAuthClientSspi::Workstation() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    std::string host(name);
    host = host.substr(0, host.find('.'));
    for (char& ch : host)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    return host;
}

bool TixNtAuthClientSspi::GetNextToken(const std::string& package, TixStream& buffer,
                                       const TixAuthIdentity* identity, const std::string& targetName) {
    (void)targetName;  // no target name pair: servers do not require it without channel bindings
    if (package.size() != 4 || strncasecmp(package.c_str(), "NTLM", 4) != 0)
        throw EixSSPIError(IX_SSPI_NO_PACKAGE);
    // No logged-on user's credentials exist here to fall back on.
    if (identity == nullptr || identity->User().empty())
        throw EixSSPIError("NTLM needs a user name: there are no logged-on user's credentials to use",
                           SEC_E_NO_CREDENTIALS);
    std::int64_t unread = buffer.Remaining();
    if (unread <= 0) {
        Wipe();
        negotiate_ = TixByteArray(SIGNATURE, SIGNATURE + 8);
        Put32(negotiate_, 1);
        Put32(negotiate_, CLIENT_FLAGS);
        Put64(negotiate_, 0);  // no domain
        Put64(negotiate_, 0);  // no workstation
        Append(negotiate_, CLIENT_VERSION, 8);
        buffer.SetSize(0);
        buffer.Write(negotiate_.data(), negotiate_.size());
        buffer.SetPosition(0);
        negotiated_ = true;
        return false;
    }
    if (!negotiated_) throw EixSSPIError("NTLM challenge without a negotiation", SEC_E_OUT_OF_SEQUENCE);
    if (static_cast<std::uint64_t>(unread) > MAX_CHALLENGE) BadToken("too large");
    TixByteArray challenge(static_cast<std::size_t>(unread));
    if (buffer.Read(challenge.data(), challenge.size()) != challenge.size()) BadToken("truncated");
    TixByteArray token = Authenticate(challenge.data(), challenge.size(), *identity);
    buffer.SetSize(0);
    buffer.Write(token.data(), token.size());
    buffer.SetPosition(0);
    negotiated_ = false;
    return true;
}

TixByteArray TixNtAuthClientSspi::Authenticate(const std::uint8_t* data, std::size_t size,
                                               const TixAuthIdentity& identity) {
    TixNtlmChallenge c = ParseNtlmChallenge(data, size);
    std::uint32_t flags = CLIENT_FLAGS & (c.flags | REQUEST_TARGET);

    std::uint8_t clientChallenge[8];
    RandomBytes(clientChallenge, sizeof(clientChallenge));
    // The server's time when it sends one: its clock decides whether the answer is fresh.
    std::uint64_t time = c.hasTimestamp ? c.timestamp : CurrentFileTime();
    TixByteArray key = NtOwfV2(identity.User(), identity.Domain(), identity.Password());

    TixByteArray temp{1, 1, 0, 0, 0, 0, 0, 0};
    Put64(temp, time);
    Append(temp, clientChallenge, 8);
    Put32(temp, 0);
    Append(temp, c.hasTimestamp ? TargetInfoWithMic(c.targetInfo) : c.targetInfo);
    Put32(temp, 0);

    TixByteArray proofInput(c.serverChallenge, c.serverChallenge + 8);
    Append(proofInput, temp);
    TixByteArray ntResponse = HmacMd5(key, proofInput);
    TixByteArray sessionBaseKey = HmacMd5(key, ntResponse);
    Append(ntResponse, temp);

    // With a time stamp the MIC protects the exchange and the LMv2 answer must be zeros.
    TixByteArray lmResponse(24, 0);
    if (!c.hasTimestamp) {
        TixByteArray lmInput(c.serverChallenge, c.serverChallenge + 8);
        Append(lmInput, clientChallenge, 8);
        lmResponse = HmacMd5(key, lmInput);
        Append(lmResponse, clientChallenge, 8);
    }
    OPENSSL_cleanse(key.data(), key.size());

    TixByteArray encryptedKey;
    if ((flags & NEGOTIATE_KEY_EXCH) != 0) {
        sessionKey_.assign(16, 0);
        RandomBytes(sessionKey_.data(), sessionKey_.size());
        encryptedKey = Rc4(sessionBaseKey, sessionKey_);
    } else {
        sessionKey_ = sessionBaseKey;
    }
    OPENSSL_cleanse(sessionBaseKey.data(), sessionBaseKey.size());

    TixByteArray domain = Utf16(identity.Domain(), false);
    TixByteArray user = Utf16(identity.User(), false);
    TixByteArray workstation = Utf16(Workstation(), false);
    if (domain.size() > 0xFFFF || user.size() > 0xFFFF || workstation.size() > 0xFFFF)
        throw EixSSPIError("NTLM user or domain name too long", SEC_E_NO_CREDENTIALS);

    TixByteArray msg(SIGNATURE, SIGNATURE + 8);
    Put32(msg, 3);
    msg.resize(60, 0);  // six field descriptors, written below
    Put32(msg, flags);
    Append(msg, CLIENT_VERSION, 8);
    std::size_t micPos = msg.size();
    if (c.hasTimestamp) msg.resize(msg.size() + 16, 0);
    auto payload = [&msg](std::size_t pos, const TixByteArray& bytes) {
        WriteField(msg, pos, bytes.size(), msg.size());
        Append(msg, bytes);
    };
    payload(28, domain);
    payload(36, user);
    payload(44, workstation);
    payload(12, lmResponse);
    payload(20, ntResponse);
    payload(52, encryptedKey);

    if (c.hasTimestamp) {
        TixHmacMd5 mac;
        mac.Init(sessionKey_, 0, sessionKey_.size());
        mac.Update(negotiate_);
        mac.Update(data, 0, size);
        mac.Update(msg);
        TixByteArray mic = mac.Digest();
        std::copy(mic.begin(), mic.end(), msg.begin() + static_cast<std::ptrdiff_t>(micPos));
    }
    return msg;
}

}  // namespace ix
