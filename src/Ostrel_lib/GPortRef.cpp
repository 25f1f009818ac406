#include "GPortRef.h"

#include <climits>
#include <cstdlib>
#include <cwchar>

namespace {
constexpr int32_t kEmptyPortType = -1;
constexpr int32_t kBluetoothPortType = 2;
constexpr size_t kNarrowBytesPerChar = 6;
constexpr char kUnconvertibleChar = '?';
} // namespace

GPortRef::GPortRef() : PortType(kEmptyPortType), ReservedA(0), ReservedB(0), ReservedC(0) {}

GPortRef::GPortRef(const std::wstring &location, const std::wstring &deviceName, const std::wstring &altName,
                   const uint8_t *data, int32_t dataLength)
    : PortType(kBluetoothPortType), Location(location), AltName(altName), DeviceName(deviceName), ReservedA(0),
      ReservedB(0), ReservedC(0) {
    if (data != nullptr && dataLength > 0)
        PortData.assign(data, data + dataLength);
}

GPortRef::GPortRef(const GPortRef &other) = default;

GPortRef::~GPortRef() = default;

GPortRef &GPortRef::operator=(const GPortRef &other) {
    if (this == &other)
        return *this;
    PortType = other.PortType;
    Location = other.Location;
    AltName = other.AltName;
    DeviceName = other.DeviceName;
    ReservedA = other.ReservedA;
    ReservedB = other.ReservedB;
    ReservedC = other.ReservedC;
    PortData = other.PortData;
    return *this;
}

std::wstring WidenText(const char *text) {
    std::wstring wide;
    if (text == nullptr)
        return wide;
    for (; *text != '\0'; ++text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

std::wstring WidenText(const std::string &text) {
    return WidenText(text.c_str());
}

namespace {

// The slow path for texts the locale cannot represent as a whole: character by
// character, each unconvertible one replaced, within the same byte budget.
std::string NarrowPerCharacter(const std::wstring &text, size_t budget) {
    std::string narrow;
    std::mbstate_t state{};
    for (wchar_t c : text) {
        if (c == L'\0')
            break;
        char bytes[MB_LEN_MAX];
        size_t n = std::wcrtomb(bytes, c, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes[0] = kUnconvertibleChar;
            n = 1;
        }
        if (narrow.size() + n >= budget)
            break;
        narrow.append(bytes, n);
    }
    return narrow;
}

} // namespace

std::string NarrowText(const std::wstring &text) {
    if (text.empty())
        return std::string();
    const size_t budget = text.size() * kNarrowBytesPerChar;
    // Zero-filled, so that whatever the conversion leaves is terminated.
    std::vector<char> buffer(budget, '\0');
    const size_t converted = std::wcstombs(buffer.data(), text.c_str(), budget);
    if (converted == static_cast<size_t>(-1))
        return NarrowPerCharacter(text, budget);
    if (converted >= budget)
        buffer[budget - 1] = '\0';
    return std::string(buffer.data());
}

bool NamesEqual(const std::wstring &a, const std::wstring &b) {
    return a == b;
}
