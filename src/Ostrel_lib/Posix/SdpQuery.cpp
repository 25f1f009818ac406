#include "SdpQuery.h"

#include <cstdio>

namespace {

constexpr uint8_t kErrorResponse = 0x01;
constexpr uint8_t kSearchAttributeRequest = 0x06;
constexpr uint8_t kSearchAttributeResponse = 0x07;
constexpr size_t kHeaderSize = 5;
constexpr size_t kMaxContinuation = 16;

constexpr uint16_t kSerialPortClass = 0x1101;
constexpr uint16_t kRfcommProtocol = 0x0003;
constexpr uint16_t kServiceClassIdList = 0x0001;
constexpr uint16_t kProtocolDescriptorList = 0x0004;
constexpr uint8_t kHighestChannel = 30;

// Data element types.
enum : uint8_t {
    kNil = 0,
    kUnsigned = 1,
    kSigned = 2,
    kUuid = 3,
    kText = 4,
    kBool = 5,
    kSequence = 6,
    kAlternative = 7,
    kUrl = 8
};

uint16_t Be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// One data element: its type and the bytes of its value.
struct Element {
    uint8_t type = kNil;
    const uint8_t *data = nullptr;
    size_t size = 0;
};

// The elements of a sequence (or of the whole lists) one after the other.
class Elements {
  public:
    Elements(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    explicit Elements(const Element &container) : Elements(container.data, container.size) {}

    bool AtEnd() const { return m_pos >= m_size; }
    // The next element; false when its header or value runs past the end or
    // its size does not suit its type.
    bool Next(Element &element) {
        if (m_pos >= m_size)
            return false;
        const uint8_t header = m_data[m_pos++];
        element.type = header >> 3;
        const uint8_t sizeIndex = header & 7;
        size_t size;
        if (sizeIndex < 5) {
            static constexpr size_t kFixed[] = {1, 2, 4, 8, 16};
            size = element.type == kNil ? 0 : kFixed[sizeIndex];
            const bool fits = element.type == kNil || element.type == kBool ? sizeIndex == 0
                              : element.type == kUuid ? sizeIndex == 1 || sizeIndex == 2 || sizeIndex == 4
                                                      : element.type == kUnsigned || element.type == kSigned;
            if (!fits)
                return false;
        } else {
            if (element.type != kText && element.type != kSequence && element.type != kAlternative &&
                element.type != kUrl)
                return false;
            const size_t lengthBytes = size_t{1} << (sizeIndex - 5);
            if (m_size - m_pos < lengthBytes)
                return false;
            size = 0;
            for (size_t i = 0; i < lengthBytes; ++i)
                size = size << 8 | m_data[m_pos++];
        }
        if (m_size - m_pos < size)
            return false;
        element.data = m_data + m_pos;
        element.size = size;
        m_pos += size;
        return true;
    }

  private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A UUID element that stands for the 16-bit UUID `shortUuid`: in its 16-,
// 32- or 128-bit form (the Bluetooth base UUID with the short one in it).
bool IsUuid(const Element &element, uint16_t shortUuid) {
    static constexpr uint8_t kBase[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
    if (element.type != kUuid)
        return false;
    const uint8_t *p = element.data;
    switch (element.size) {
    case 2:
        return Be16(p) == shortUuid;
    case 4:
    case 16:
        if (Be16(p) != 0 || Be16(p + 2) != shortUuid)
            return false;
        for (size_t i = 0; element.size == 16 && i < sizeof kBase; ++i)
            if (p[4 + i] != kBase[i])
                return false;
        return true;
    default:
        return false;
    }
}

bool IsSequence(const Element &element) {
    return element.type == kSequence;
}

// ServiceClassIDList: a sequence of UUIDs. False when malformed.
bool ReadClasses(const Element &value, bool &serialPort) {
    if (!IsSequence(value))
        return false;
    Elements classes(value);
    Element uuid;
    while (!classes.AtEnd()) {
        if (!classes.Next(uuid))
            return false;
        serialPort = serialPort || IsUuid(uuid, kSerialPortClass);
    }
    return true;
}

// One protocol stack of a ProtocolDescriptorList: a sequence of protocol
// descriptors, each a sequence of the protocol's UUID and its parameters.
bool ReadProtocolStack(const Element &stack, uint8_t &channel) {
    if (!IsSequence(stack))
        return false;
    Elements descriptors(stack);
    Element descriptor;
    while (!descriptors.AtEnd()) {
        if (!descriptors.Next(descriptor) || !IsSequence(descriptor))
            return false;
        Elements parts(descriptor);
        Element protocol, parameter;
        if (parts.AtEnd())
            continue;
        if (!parts.Next(protocol))
            return false;
        if (!IsUuid(protocol, kRfcommProtocol) || parts.AtEnd())
            continue;
        if (!parts.Next(parameter))
            return false;
        if (parameter.type == kUnsigned && parameter.size == 1 && parameter.data[0] >= 1 &&
            parameter.data[0] <= kHighestChannel && channel == 0)
            channel = parameter.data[0];
    }
    return true;
}

// The attribute's value is one protocol stack, or an alternative of them.
bool ReadProtocols(const Element &value, uint8_t &channel) {
    if (value.type != kAlternative)
        return ReadProtocolStack(value, channel);
    Elements stacks(value);
    Element stack;
    while (!stacks.AtEnd())
        if (!stacks.Next(stack) || !ReadProtocolStack(stack, channel))
            return false;
    return true;
}

// One record: attribute IDs and values by turns.
bool ReadRecord(const Element &record, bool &serialPort, uint8_t &channel) {
    if (!IsSequence(record))
        return false;
    Elements attributes(record);
    Element id, value;
    while (!attributes.AtEnd()) {
        if (!attributes.Next(id) || id.type != kUnsigned || id.size != 2 || !attributes.Next(value))
            return false;
        const uint16_t attribute = Be16(id.data);
        if (attribute == kServiceClassIdList && !ReadClasses(value, serialPort))
            return false;
        if (attribute == kProtocolDescriptorList && !ReadProtocols(value, channel))
            return false;
    }
    return true;
}

void PutBe16(std::vector<uint8_t> &out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

} // namespace

SdpParse FindSerialPortChannel(const uint8_t *lists, size_t size, uint8_t &channel) {
    channel = 0;
    Elements top(lists, size);
    Element all;
    if (!top.Next(all) || !top.AtEnd() || !IsSequence(all))
        return SdpParse::Invalid;
    Elements records(all);
    Element record;
    while (!records.AtEnd()) {
        bool serialPort = false;
        uint8_t recordChannel = 0;
        if (!records.Next(record) || !ReadRecord(record, serialPort, recordChannel))
            return SdpParse::Invalid;
        if (serialPort && channel == 0)
            channel = recordChannel;
    }
    return SdpParse::Valid;
}

std::vector<uint8_t> SdpSerialPortQuery::NextRequest() {
    // Records that name the serial port; of them, the service classes and
    // the protocols; as many bytes per response as the server will send.
    static constexpr uint8_t kParameters[] = {0x35, 0x03, 0x19, 0x11, 0x01,                    // search pattern
                                              0xFF, 0xFF,                                      // byte count
                                              0x35, 0x06, 0x09, 0x00, 0x01, 0x09, 0x00, 0x04}; // attribute IDs
    std::vector<uint8_t> request = {kSearchAttributeRequest};
    PutBe16(request, m_transaction);
    PutBe16(request, sizeof kParameters + 1 + m_continuation.size());
    request.insert(request.end(), kParameters, kParameters + sizeof kParameters);
    request.push_back(static_cast<uint8_t>(m_continuation.size()));
    request.insert(request.end(), m_continuation.begin(), m_continuation.end());
    m_requested = true;
    return request;
}

SdpParse SdpSerialPortQuery::Fail(const std::string &problem) {
    m_problem = problem;
    m_requested = false;
    return SdpParse::Invalid;
}

SdpParse SdpSerialPortQuery::Take(const uint8_t *pdu, size_t size) {
    if (!m_requested)
        return Fail("a response without a request");
    if (pdu == nullptr || size < kHeaderSize || size > kMaxPduSize)
        return Fail("a response of " + std::to_string(size) + " bytes");
    const size_t length = Be16(pdu + 3);
    if (length != size - kHeaderSize)
        return Fail("a response whose length field says " + std::to_string(length) + " bytes of " +
                    std::to_string(size - kHeaderSize));
    if (Be16(pdu + 1) != m_transaction)
        return Fail("a response to another transaction");
    const uint8_t *parameters = pdu + kHeaderSize;
    if (pdu[0] == kErrorResponse) {
        char code[8] = "?";
        if (length >= 2)
            std::snprintf(code, sizeof code, "0x%04x", Be16(parameters));
        return Fail(std::string("the unit answered error ") + code);
    }
    if (pdu[0] != kSearchAttributeResponse)
        return Fail("an unexpected response type " + std::to_string(pdu[0]));
    if (length < 3)
        return Fail("a response too short for its fields");
    const size_t count = Be16(parameters);
    if (count + 3 > length)
        return Fail("attribute lists longer than the response");
    const size_t continuation = parameters[2 + count];
    if (continuation > kMaxContinuation || count + 3 + continuation != length)
        return Fail("a broken continuation state");
    if (m_lists.size() + count > kMaxAnswerSize)
        return Fail("an answer over " + std::to_string(kMaxAnswerSize) + " bytes");
    m_lists.insert(m_lists.end(), parameters + 2, parameters + 2 + count);
    m_requested = false;
    if (continuation > 0) {
        if (++m_rounds >= kMaxRounds)
            return Fail("an answer that does not end");
        m_continuation.assign(parameters + 3 + count, parameters + 3 + count + continuation);
        ++m_transaction;
        return SdpParse::NeedMore;
    }
    if (FindSerialPortChannel(m_lists.data(), m_lists.size(), m_channel) != SdpParse::Valid)
        return Fail("attribute lists that are not well-formed");
    return SdpParse::Valid;
}
