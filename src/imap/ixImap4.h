#pragma once
// The IMAP4 client: session (tags, response classification, greeting, login, state guard,
// LOGOUT on close, keep-alive NOOP), mailbox operations, message operations (by sequence number)
// and SASL login.
//
// Every operation blocks until the command's tagged completion line has arrived. A refusal by
// the server raises EixTcpClientError with the trimmed response and its code (20 NO, 30 BAD,
// 50 BYE); argument and state errors raise EixImap4Error; transport errors pass through.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "command/ixMC.h"
#include "imap/ixImapUtils.h"

namespace ix {

class TixMailMessage;
class TixNtAuthSspi;

constexpr int IMAP_OK = 10;
constexpr int IMAP_NO = 20;
constexpr int IMAP_BAD = 30;
constexpr int IMAP_PREAUTH = 40;
constexpr int IMAP_BYE = 50;
constexpr int IMAP_CONTINUE = 60;

constexpr int IX_IMAP_INVALID_MAILBOX_NAME = -200;
constexpr int IX_IMAP_INVALID_ARGUMENTS = -201;
constexpr int IX_IMAP_INVALID_MESSAGE_NUMBER = -202;
constexpr int IX_IMAP_INVALID_STATE = -204;
constexpr int IX_IMAP_TLS_UNAVAILABLE = -205;
constexpr int IX_IMAP_TLS_REFUSED = -206;
constexpr int IX_IMAP_TLS_INJECTION = -207;
constexpr int IX_IMAP_TLS_PREAUTH = -208;
constexpr int IX_IMAP_SASL_FAILED = -400;

class EixImap4Error : public EixTcpClientError {
public:
    using EixTcpClientError::EixTcpClientError;
    // One of the client's own codes, with its text.
    explicit EixImap4Error(int errorCode);
};

enum class TixImap4ConnectionState { csNonAuthenticated, csAuthenticated, csSelected };

// How STORE combines the given flags with the message's: prefix "", "+" or "-".
enum class TixSetFlagsMethod { fmReplace, fmAdd, fmRemove };

class TixImap4 : public TixCustomMail {
public:
    explicit TixImap4(TixComponent* owner = nullptr);
    ~TixImap4() override;

    bool AutoReconnect() const { return autoReconnect_; }
    void SetAutoReconnect(bool value) { SetProperty(autoReconnect_, value); }

    char MailBoxSeparator = '/';
    TixImap4MailBoxInfo& CurrentMailBox() { return currentMailBox_; }
    int CurrentMessage = 0;
    TixImap4ConnectionState ConnectionState = TixImap4ConnectionState::csNonAuthenticated;
    int CommandTagNumber = 0;
    bool IsTaggedCommand() const { return isTaggedCommand_; }
    bool IsFetchCommand() const { return isFetchCommand_; }
    int TotalMessageSize = 0;

    int GetDefaultPort() override { return 143; }

    // Session
    void GetCapabilities(TixStringList& list);
    void Login();
    void Logout();
    void Noop();
    // STARTTLS, then the handshake. The server's refusal, any byte after its OK, or a tagged answer
    // that is not ours closes the connection with EixImap4Error (-206, -207); the capabilities
    // are then asked again over TLS.
    void StartTls() override;
    // Sends the text behind the next tag as it stands ("%" passes unchanged).
    void SendTaggedCommand(const std::string& text, const TixResponseCodes& expectedCodes);
    // Substitutes the arguments for "%s" and "%d" in the format, in order ("%%" is "%").
    void SendTaggedCommand(const std::string& format, const std::vector<std::string>& args,
                           const TixResponseCodes& expectedCodes);
    std::string GetNextCommandTag();
    std::string GetCommandTag() const;
    void CheckConnectionState(std::initializer_list<TixImap4ConnectionState> allowed);

    // Mailboxes
    void SelectMailBox(const std::string& name);
    void CreateMailBox(const std::string& name);
    void DeleteMailBox(const std::string& name);
    void SubscribeMailBox(const std::string& name);
    void UnsubscribeMailBox(const std::string& name);
    void GetMailBoxes(TixStringList& list);
    void GetMailBoxes(TixStringList& list, const std::string& reference, const std::string& pattern);
    void GetSubscribedMailBoxes(TixStringList& list);
    void GetSubscribedMailBoxes(TixStringList& list, const std::string& reference,
                                const std::string& pattern);
    void CloseMailBox();

    // Messages. Numbers below 1 raise -202 before anything else; the fetches use BODY.PEEK, so
    // reading a message never marks it \Seen.
    void SearchMessages(const std::string& criteria, TixStringList& list);
    TixMailMessageFlags GetMessageFlags(int number);
    std::int64_t GetMessageSize(int number);
    // Leave the message lines in ResponseList and load them into the message when one is given;
    // the forms without a message use the MailMessage link.
    void RetrieveHeader(int number, TixMailMessage* message);
    void RetrieveHeader(int number);
    // With OnProgress set, asks for the size first so that progress runs against it.
    void RetrieveMessage(int number, TixMailMessage* message);
    void RetrieveMessage(int number);
    void SetMessageFlags(int number, TixSetFlagsMethod method, TixMailMessageFlags flags);
    // Marks \Deleted; the message goes on the next CloseMailBox.
    void DeleteMessage(int number);
    void CopyMessage(int number, const std::string& mailBox);
    // Answer the new message's identifier from the completion line's APPENDUID, or empty text.
    std::string AppendMessage(const std::string& mailBox, const TixStringList& lines,
                              TixMailMessageFlags flags = {});
    std::string AppendMessage(const std::string& mailBox, TixMailMessage* message,
                              TixMailMessageFlags flags = {});
    // The MailMessage link's message (-201 when there is none).
    std::string AppendMessage(const std::string& mailBox, TixMailMessageFlags flags = {});
    static std::string FlagsToText(TixMailMessageFlags flags) { return ix::FlagsToText(flags); }
    static TixMailMessageFlags TextToFlags(const std::string& text) { return ix::TextToFlags(text); }

    // The message number of an untagged FETCH line, 0 when the line is none.
    static int ParseFetchLine(const std::string& line);
    // The identifier of an APPENDUID code in the line, or empty text.
    static std::string ParseAppendUid(const std::string& line);

    // SASL: picks XOAUTH2, NTLM, CRAM-MD5 or PLAIN from the capabilities, else LOGIN (or -400 with SaslOnly).
    void Authenticate();

protected:
    void BeginSession() override;
    void EndSession() override;
    void InternalClose(bool notify) override;
    int GetResponseCode(const std::string& line) override;
    void WaitResponse(const TixResponseCodes& expectedCodes) override;
    std::int64_t GetLiteralSize(const std::string& line) override;
    void DoKeepAlive() override;
    // Keeps the tag, the command and an AUTHENTICATE mechanism; a line of literal data or a SASL
    // answer shows as "****".
    std::string MaskCommand(const std::string& line) override;

    void LoginStage();
    // A tagged command whose arguments may need literals: parts alternate command text and
    // argument values; each value goes out quoted, or as a literal when it must.
    void SendTaggedCommandWithArguments(const std::vector<std::string>& parts,
                                        const TixResponseCodes& expectedCodes);
    // A value as a command argument: quoted, or refused when it holds CR, LF or NUL.
    std::string QuotedArgument(const std::string& value);

    // Cuts ResponseList down, in place, to the lines of the literal of the FETCH answer for the
    // number; answers false (list left as it was) when the answer holds no such literal.
    bool ParseMessage(int number);

private:
    void SendMailBoxCommand(const std::string& command, const std::string& name);
    void ParseSelectResponse(const std::string& name);
    void ListMailBoxes(const char* command, TixStringList& list, const std::string& reference,
                       const std::string& pattern);
    std::string ParseMailBoxLine(int index);
    std::string ContinuationText();
    void AuthenticateXOAuth2();
    void AuthenticateNtlm();
    // The NTLM client of one login; tests substitute one with fixed random values.
    virtual std::unique_ptr<TixNtAuthSspi> CreateNtAuthClient();
    void AuthenticateCramMd5();
    void AuthenticatePlain();
    void SendContinuation(const std::string& line, const TixResponseCodes& expectedCodes);

    // With TLS required after the greeting: PREAUTH or no STARTTLS capability end the session.
    void CheckStartTlsOffered();

    bool autoReconnect_ = false;
    bool inStartTls_ = false;
    // Capabilities asked over TLS right after the switch, for the login that follows.
    TixStringList tlsCapabilities_;
    bool tlsCapabilitiesFresh_ = false;
    TixImap4MailBoxInfo currentMailBox_;
    bool isTaggedCommand_ = false;
    bool isFetchCommand_ = false;
};

}  // namespace ix
