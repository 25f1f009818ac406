#include "ResponseAssembly.h"

#include "BlobFormat.h"
#include "GUtils.h"

#include <algorithm>
#include <cstring>

static const wchar_t kTraceModule[] = L"ResponseAssembly.cpp";

namespace {
unsigned Hex(uint8_t value) {
    return value;
}
} // namespace

ResponseAssembly::ResponseAssembly(uint8_t *dst, int32_t capacity, const int32_t *expectedSignature,
                                   SignatureSet &abandoned)
    : m_dst(dst), m_capacity(std::max<int32_t>(capacity, 0)), m_expectedSignature(expectedSignature),
      m_abandoned(abandoned) {}

bool ResponseAssembly::IsPassedOver(uint8_t type, uint8_t signature) const {
    if (m_seenFirst) {
        // Not part of the reply in progress. A first blob of a reply nobody
        // gave up on is not passed over: it breaks this one (see Take).
        const bool foreignFirst = (type & (Blob::kFlagFirst | Blob::kFlagError)) == Blob::kFlagFirst;
        return signature != m_signature && (m_abandoned.test(signature) || !foreignFirst);
    }
    if (!m_abandoned.test(signature))
        return false;
    if (m_expectedSignature != nullptr)
        return *m_expectedSignature != static_cast<int32_t>(signature);
    // Any signature will do: only what can belong to no new reply is passed over.
    return (type & (Blob::kFlagFirst | Blob::kFlagError)) == 0;
}

void ResponseAssembly::Take(const uint8_t *blob) {
    if (Finished())
        return;
    const int32_t length = blob[Blob::kLengthOffset];
    if (length < Blob::kResponseHeaderSize) {
        OSTREL_TRACE(L"Reported blob length is too small for cmd response header!");
        m_state = State::Failed;
        return;
    }
    const uint8_t type = blob[Blob::kTypeOffset];
    const uint8_t signature = blob[Blob::kResponseSignatureOffset];
    const bool last = (type & Blob::kFlagLast) != 0;
    const uint8_t *payload = blob + Blob::kResponseHeaderSize;
    const int32_t payloadSize = length - Blob::kResponseHeaderSize;

    if (IsPassedOver(type, signature)) {
        const bool ends = last || (type & Blob::kFlagError) != 0;
        if (m_abandoned.test(signature)) {
            if (ends)
                m_abandoned.reset(signature);
            OSTREL_TRACE(L"Late blob cmd response discarded: signature = " << std::hex << Hex(signature) << L"h "
                                                                           << L"\n");
        } else {
            // A stray reply's blob: what else comes of it is passed over too.
            if (!ends)
                m_abandoned.set(signature);
            OSTREL_TRACE(L"Blob of another cmd response discarded: signature = " << std::hex << Hex(signature) << L"h "
                                                                                 << L"\n");
        }
        return;
    }
    if (type & Blob::kFlagError) {
        // The error blob is the whole answer; its payload replaces whatever
        // earlier blobs brought.
        m_errorFlag = true;
        TakeHeader(blob);
        m_stored = std::min(payloadSize, m_capacity);
        if (m_dst != nullptr && m_stored >= 1)
            std::memcpy(m_dst, payload, static_cast<size_t>(m_stored));
        m_state = State::Complete;
        return;
    }
    if (type & Blob::kFlagFirst) {
        if (m_seenFirst) {
            // Two replies overlap: neither can be completed any more.
            m_abandoned.set(m_signature);
            if (!last)
                m_abandoned.set(signature);
            m_state = State::Failed;
            return;
        }
        m_seenFirst = true;
        TakeHeader(blob);
    } else if (!m_seenFirst) {
        // The rest of a reply whose first blob never came.
        if (!last)
            m_abandoned.set(signature);
        m_state = State::Failed;
        return;
    }
    Append(payload, payloadSize);
    if (last)
        m_state = State::Complete;
}

void ResponseAssembly::Fail() {
    if (m_seenFirst)
        m_abandoned.set(m_signature);
    m_state = State::Failed;
}

void ResponseAssembly::Abandon() {
    if (!Finished() && m_seenFirst)
        m_abandoned.set(m_signature);
}

void ResponseAssembly::TakeHeader(const uint8_t *blob) {
    m_hasHeader = true;
    m_cmd = blob[Blob::kResponseCmdOffset];
    m_signature = blob[Blob::kResponseSignatureOffset];
}

void ResponseAssembly::Append(const uint8_t *payload, int32_t size) {
    const int32_t n = std::min(size, m_capacity - m_stored);
    if (m_dst != nullptr && n > 0) {
        std::memcpy(m_dst + m_stored, payload, static_cast<size_t>(n));
        m_stored += n;
    }
}
