// The value that names one reachable device port, and the conversions of
// device names between the library's wide strings and the 8-bit strings of
// the exported interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class GPortRef {
  public:
    // An empty port reference: PortType -1, empty texts, no PortData.
    GPortRef();
    // PortType 2. A null `data` (or a negative length) gives no PortData.
    GPortRef(const std::wstring &location, const std::wstring &deviceName, const std::wstring &altName,
             const uint8_t *data, int32_t dataLength);
    GPortRef(const GPortRef &other);
    virtual ~GPortRef();
    virtual GPortRef &operator=(const GPortRef &other);

    int32_t GetPortType() const { return PortType; }
    std::wstring GetLocation() const { return Location; }
    std::wstring GetAltName() const { return AltName; }
    std::wstring GetDeviceName() const { return DeviceName; }
    // Null when there is no PortData.
    const uint8_t *GetPortData() const { return PortData.empty() ? nullptr : PortData.data(); }
    int32_t GetPortDataLength() const { return static_cast<int32_t>(PortData.size()); }

  private:
    int32_t PortType;
    std::wstring Location;
    std::wstring AltName;
    std::wstring DeviceName;
    // Never interpreted here; kept so that copies carry them.
    int32_t ReservedA;
    int32_t ReservedB;
    // Each copy owns its bytes; its size is the PortData length.
    std::vector<uint8_t> PortData;
    int32_t ReservedC;
};

// Each byte becomes the wide character of the same value (no code page).
// Null gives an empty string.
std::wstring WidenText(const char *text);
std::wstring WidenText(const std::string &text);

// Wide to multibyte in the C runtime's current locale, at most six bytes per
// character. A character the locale cannot represent becomes '?'.
std::string NarrowText(const std::wstring &text);

// Same length, same characters in the same order: case matters, nothing is
// trimmed.
bool NamesEqual(const std::wstring &a, const std::wstring &b);
