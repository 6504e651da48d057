#include "tls/ixTlsStream.h"

#include <algorithm>
#include <cerrno>

#include "tls/ixSspi.h"

namespace ix {

TixTlsNetworkStream::TixTlsNetworkStream() = default;

TixTlsNetworkStream::~TixTlsNetworkStream() {
    std::lock_guard guard(engineLock_);
    engine_.reset();
}

void TixTlsNetworkStream::Assign(const TixNetworkStream& source) {
    TixNetworkStream::Assign(source);
    if (const auto* tls = dynamic_cast<const TixTlsNetworkStream*>(&source)) settings_ = tls->settings_;
}

void TixTlsNetworkStream::InitClientSession() {
    {
        std::lock_guard guard(engineLock_);
        engine_.reset();
        peerVerified_ = false;
        engine_ = std::make_unique<TixTlsClientOpenSsl>(settings_);
    }
    plaintext_.Clear();
    endAfterDelivery_ = trDone;
    tlsResult_ = trNothing;
    recordOverhead_ = 0;
    pendingChunk_ = 0;
    pendingSource_ = nullptr;
    handshakePending_ = true;
    SetNextAction(naWrite);
}

bool TixTlsNetworkStream::InHandshake() const {
    return engine_ != nullptr && !engine_->HandshakeComplete();
}

TixTlsClientOpenSsl& TixTlsNetworkStream::Session() {
    // Data before InitClientSession has nowhere to go but the clear, which a TLS stream never is.
    if (engine_ == nullptr) RaiseSocketError(IX_NOT_CONNECTED);
    return *engine_;
}

bool TixTlsNetworkStream::SendPending() {
    TixTlsClientOpenSsl& engine = Session();
    int batch = Connection()->BatchSize;
    if (batch < 1) RaiseSocketError(IX_INVALID_BATCH_SIZE);
    std::size_t chunk = static_cast<std::size_t>(batch) + static_cast<std::size_t>(engine.RecordOverhead());
    while (engine.OutputSize() > 0) {
        int length = static_cast<int>(std::min(engine.OutputSize(), chunk));
        long sent = SendBuffer(engine.OutputData(), length);
        if (sent < 0) {
            int error = errno;
            if (IsWouldBlock(error)) return false;
            if (IsNetworkFailure(error)) NeedClose = true;
            RaiseSocketError(error);
        }
        UpdateProgress(sent);
        engine.ConsumeOutput(static_cast<std::size_t>(sent));
    }
    return true;
}

void TixTlsNetworkStream::HandshakeStep(TixStream* destination, std::string_view received) {
    TixTlsClientOpenSsl& engine = Session();
    recordOverhead_ = 0;
    TixCertificateList certificates(false);
    TixTlsResult result;
    try {
        result = engine.HandShake(received, certificates, false);
        if (result == trNeedCertificate) {
            TixCertificate* certificate = nullptr;
            bool handled = false;
            TixCertificateList extra(false);
            if (OnCertificateRequest) OnCertificateRequest(*this, certificate, handled, extra);
            if (certificate != nullptr) certificates.Add(certificate);
            for (int i = 0; i < extra.Count(); ++i)
                certificates.Add(extra.Items(i));
            result = engine.HandShake({}, certificates, true);
        }
    } catch (const EixSSPIError&) {
        // The alert that says why goes out if the socket takes it at once; the error stands anyway.
        try {
            SendPending();
        } catch (const EixSocketError&) {
        }
        throw;
    }
    if (result == trNeedCertificate)
        throw EixSocketError(SspiStatusText(IX_SSPI_LOCAL_CERTIFICATE), IX_SSPI_LOCAL_CERTIFICATE);
    // Nothing reaches the application, and nothing of it is sent, before the peer is accepted.
    if (result == trDone || result == trDoneWithExtra) VerifyPeer();
    if (engine.OutputSize() > 0 && !SendPending()) SetNextAction(naWrite);
    switch (result) {
        case trTokenReady:
            tlsResult_ = trTokenSent;
            break;
        case trDoneWithExtra:
            tlsResult_ = trDone;
            // The greeting may have come with the last flight: decrypt it now, without a wait.
            ProcessReceived({}, destination != nullptr ? destination : &plaintext_, false);
            break;
        default:
            tlsResult_ = result;
            break;
    }
    if (!InHandshake()) TixNetworkStream::StreamReady();
}

void TixTlsNetworkStream::VerifyPeer() {
    if (peerVerified_) return;
    TixTlsClientOpenSsl& engine = Session();
    peerVerified_ = engine.Verified();
    std::string text = engine.StatusText();
    int code = engine.Status();
    if (OnVerification && engine.ServerCertificate() != nullptr)
        OnVerification(*this, *engine.ServerCertificate(), text, code, peerVerified_);
    if (!peerVerified_)
        throw EixTlsCertificateError("The server certificate was not accepted: " + text, code);
}

void TixTlsNetworkStream::RaiseTruncated() {
    throw EixSSPIError("TLS connection truncated: the server closed the connection without a close alert",
                       ECONNRESET);
}

void TixTlsNetworkStream::ProcessReceived(std::string_view received, TixStream* destination, bool eof) {
    TixTlsClientOpenSsl& engine = Session();
    if (engine.HandshakeComplete() == false) {
        if (eof) {
            NeedClose = true;
            throw EixSSPIError("The server closed the connection during the TLS handshake", ECONNRESET);
        }
        HandshakeStep(destination, received);
        return;
    }
    TixTlsResult result = engine.Decrypt(received, *destination, eof);
    if (destination != &plaintext_ && engine.LastDecrypted() > 0)
        TixNetworkStream::UpdateProgress(static_cast<std::int64_t>(engine.LastDecrypted()));
    switch (result) {
        case trPartial:
        case trIncomplete:
            tlsResult_ = trIncomplete;
            break;
        case trClosed:
            NeedClose = true;
            tlsResult_ = trClosed;
            break;
        default:
            tlsResult_ = result;
            break;
    }
    // Answers the peer may ask for while we read (a key update, an alert) go out now if the
    // socket takes them, else ahead of the next record we write.
    if (engine.OutputSize() > 0 && pendingChunk_ == 0 && !NeedClose) SendPending();
}

bool TixTlsNetworkStream::Read(TixStream* destination) {
    ClearNextAction();
    ClosedGracefully = false;
    if (destination != nullptr && plaintext_.Size() > 0) {
        std::int64_t size = plaintext_.Size();
        destination->WriteBuffer(plaintext_.Memory(), static_cast<std::size_t>(size));
        plaintext_.Clear();
        TixNetworkStream::UpdateProgress(size);
        // The peer's end that came with these bytes counts only now that they are delivered.
        if (endAfterDelivery_ != trDone) {
            NeedClose = ClosedGracefully = true;
            bool truncated = endAfterDelivery_ == trIncomplete;
            endAfterDelivery_ = trDone;
            if (truncated) RaiseTruncated();
        }
    } else {
        TixStream* target = destination != nullptr ? destination : &plaintext_;
        for (;;) {
            int size = GetReadBatchSize();
            if (size < 1) break;
            std::uint8_t* buffer = Buffer(size);
            long received = ReceiveBuffer(buffer, size);
            if (received < 0) {
                if (IsWouldBlock(errno)) break;
                RaiseLastSocketError();
            }
            if (received == 0) {
                if (destination == nullptr && plaintext_.Size() > 0) {
                    // Kept bytes first: the truncation is raised once they are delivered.
                    endAfterDelivery_ = trIncomplete;
                    break;
                }
                NeedClose = true;
                ClosedGracefully = true;
                // A TCP close without the close alert: the data may have been cut short.
                ProcessReceived({}, target, true);
                break;
            }
            UpdateProgress(received);
            ProcessReceived(
                std::string_view(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(received)),
                target, false);
            if (destination == nullptr && NeedClose && plaintext_.Size() > 0) {
                // A close alert right behind the greeting: hand the greeting over before closing.
                NeedClose = false;
                endAfterDelivery_ = trClosed;
            }
            // A read for the stream itself ends with the handshake: what follows is the caller's
            // to read, and is never taken in without bound.
            if (NeedClose || endAfterDelivery_ != trDone || IsReadComplete() ||
                (destination == nullptr && !InHandshake()))
                break;
        }
    }
    HasReadData = plaintext_.Size() > 0;
    // A read for the stream itself asks for more only while the handshake needs it; the rest of
    // a record cut short is read by the caller's next read.
    if (endAfterDelivery_ != trDone ||
        (destination == nullptr && !InHandshake() && tlsResult_ != trRenegotiate))
        return true;
    switch (tlsResult_) {
        case trRenegotiate:
            SetNextAction(naWrite);
            break;
        case trDone:
        case trNothing:
        case trClosed:
            break;
        default:
            SetNextAction(naRead);
            break;
    }
    return true;
}

bool TixTlsNetworkStream::Write(TixStream* source) {
    ClearNextAction();
    if (handshakePending_) {
        handshakePending_ = false;
        HandshakeStep(nullptr, {});
        if (tlsResult_ != trDone) SetNextAction(naRead);
        return true;
    }
    TixTlsClientOpenSsl& engine = Session();
    if (source == nullptr || source->Remaining() <= 0) {
        bool done = SendPending();
        if (!done)
            SetNextAction(naWrite);
        else if (InHandshake())
            // The flight went out: now the peer's answer is what the handshake waits for.
            SetNextAction(naRead);
        return done;
    }
    if (InHandshake()) RaiseSocketError(IX_NOT_CONNECTED);
    for (;;) {
        if (pendingChunk_ == 0) {
            int batch = Connection()->BatchSize;
            if (batch < 1) RaiseSocketError(IX_INVALID_BATCH_SIZE);
            int chunk = static_cast<int>(std::min<std::int64_t>(batch, source->Remaining()));
            std::uint8_t* buffer = Buffer(chunk);
            chunk = static_cast<int>(source->Read(buffer, static_cast<std::size_t>(chunk)));
            // The source stays at the chunk's start until its record has gone out whole.
            source->Seek(-chunk, TixSeekOrigin::soCurrent);
            engine.Encrypt(buffer, static_cast<std::size_t>(chunk));
            pendingChunk_ = chunk;
            pendingSource_ = source;
            pendingPosition_ = source->Position();
        }
        if (!SendPending()) return false;
        // A record left over from a write that failed belongs to no source of today.
        if (pendingSource_ == source && pendingPosition_ == source->Position()) {
            source->Seek(pendingChunk_, TixSeekOrigin::soCurrent);
            TixNetworkStream::UpdateProgress(pendingChunk_);
        }
        pendingChunk_ = 0;
        pendingSource_ = nullptr;
        if (source->Remaining() <= 0 || IsReadComplete()) return true;
    }
}

void TixTlsNetworkStream::CloseStream(bool notify) {
    ClearNextAction();
    tlsResult_ = trDone;
    plaintext_.Clear();
    {
        std::lock_guard guard(engineLock_);
        if (engine_ != nullptr && engine_->Shutdown() == trCloseToken && notify) {
            try {
                if (!SendPending()) SetNextAction(naWrite);
            } catch (const EixSocketError&) {
                // A peer that has gone needs no goodbye.
            }
        }
    }
    handshakePending_ = false;
    pendingChunk_ = 0;
    pendingSource_ = nullptr;
}

int TixTlsNetworkStream::GetReadBatchSize() {
    int batch = GetBatchSize();
    if (engine_ == nullptr || !engine_->HandshakeComplete() || batch < 1) return batch;
    if (recordOverhead_ == 0) recordOverhead_ = engine_->RecordOverhead();
    // A whole record of the largest size per call: servers fill them, whatever our batch size.
    return std::max(batch, 4 * engine_->MaxMessage()) + recordOverhead_;
}

int TixTlsNetworkStream::GetWriteBatchSize() {
    int batch = GetBatchSize();
    if (engine_ == nullptr || !engine_->HandshakeComplete() || batch < 1) return batch;
    if (recordOverhead_ == 0) recordOverhead_ = engine_->RecordOverhead();
    return batch + recordOverhead_;
}

bool TixTlsNetworkStream::IsProceedLimit() {
    if (TixNetworkStream::IsProceedLimit()) return true;
    std::int64_t limit = Connection()->BytesToProceed;
    return limit >= 0 && limit <= rawBytesProceed_;
}

void TixTlsNetworkStream::ResetProgress() {
    TixNetworkStream::ResetProgress();
    rawBytesProceed_ = 0;
}

void TixTlsNetworkStream::UpdateProgress(std::int64_t count) {
    rawBytesProceed_ += count;
}

}  // namespace ix
