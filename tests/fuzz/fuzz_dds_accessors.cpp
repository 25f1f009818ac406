// libFuzzer target: the data-sheet exports over a hostile record. A unit of
// the simulated stack is opened once; each run stores 128 bytes of the input
// as a channel's record (texts without terminators, page fields out of range,
// any floats) and calls the getters, the calibration page and the
// calibration exports with channels, pages and buffer lengths from the input.
// Each text buffer is an allocation of exactly the length passed. Checked: a
// text comes out terminated within the buffer, at most its field's width
// long, equal to the field's bytes and zero-filled after; numbers come out as
// the record holds them; pages and channels out of range are refused; the
// record reads back as it was stored.
#include "FuzzSupport.h"

#include "DDSRecord.h"
#include "Ostrel_lib.h"
#include "SimStack.h"

#include <cstring>
#include <memory>

using namespace fuzz;

namespace {

// The library with one simulated unit open on this thread, for the whole
// process; closed before the library's own statics go.
class OpenUnit {
  public:
    OpenUnit() {
        lib = Ostrel_Init();
        Require(lib != nullptr, "the library starts");
        scope = std::make_unique<sim::SimStackScope>(); // after Init, which picks a real stack
        scope->AddUnit("dds");
        int stamp = 0;
        Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);
        device = Ostrel_Device_Open(lib, "dds");
        Require(device != nullptr, "the simulated unit opens");
    }
    ~OpenUnit() {
        Ostrel_Device_Close(device);
        Ostrel_Uninit(lib);
    }
    std::unique_ptr<sim::SimStackScope> scope;
    OstrelLibrary lib = nullptr;
    OstrelDevice device = nullptr;
};

using TextGetter = int(OSTREL_CALL *)(OstrelDevice, int, char *, unsigned short);
struct TextField {
    TextGetter get;
    DDSField field;
};
const TextField kTexts[] = {{&Ostrel_Device_DDSMem_GetLongName, DDSField::LongName},
                            {&Ostrel_Device_DDSMem_GetShortName, DDSField::ShortName}};

// A text read into exactly `length` bytes: terminated, at most `width`
// characters, the field's own bytes, zeros after.
void CheckText(const char *text, uint16_t length, const uint8_t *field, size_t width) {
    const size_t n = strnlen(text, length);
    Require(n < length && n <= width, "a text comes out terminated, within its field's width");
    Require(std::memcmp(text, field, n) == 0, "a text comes out as the record holds it");
    for (size_t i = n; i < length; ++i)
        Require(text[i] == 0, "a text buffer is zero-filled after the text");
}

bool SameBits(float a, const uint8_t *bytes) {
    return std::memcmp(&a, bytes, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static OpenUnit unit;
    OstrelDevice device = unit.device;
    Input in(data, size);
    const uint8_t pick = in.Byte();
    const int channel = (pick & 0x80) ? static_cast<int8_t>(pick) * 3 : 3 + pick % 5;
    const int lowByte = static_cast<int8_t>(channel & 0xFF); // all the library looks at
    const bool sensorChannel = lowByte >= 3 && lowByte <= 7;
    const Bytes record = in.Take(kDDSRecordSize);

    const int stored = Ostrel_Device_DDSMem_SetRecord(device, channel, record.data());
    Require((stored == 0) == sensorChannel, "a record is stored on a sensor channel only");
    if (!sensorChannel)
        return 0;
    uint8_t back[kDDSRecordSize];
    Require(Ostrel_Device_DDSMem_GetRecord(device, channel, back) == 0 &&
                std::memcmp(back, record.data(), sizeof back) == 0,
            "the record reads back as it was stored");

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const uint16_t length = static_cast<uint16_t>(1 + in.Byte() % 48);
        std::unique_ptr<char[]> buffer(new char[length]);
        std::memset(buffer.get(), 0x55, length);
        switch (op % 5) {
        case 0: {
            const TextField &text = kTexts[(op >> 3) % 2];
            const DDSFieldInfo info = FieldInfo(text.field);
            Require(text.get(device, channel, buffer.get(), length) == 0, "a text field is read");
            CheckText(buffer.get(), length, record.data() + info.offset, info.width);
            break;
        }
        case 1: {
            const unsigned char page = in.Byte();
            float k[3] = {};
            const int result =
                Ostrel_Device_DDSMem_GetCalPage(device, channel, page, &k[0], &k[1], &k[2], buffer.get(), length);
            Require((result == 0) == IsValidCalPage(page), "a calibration page is read only within pages 0 to 2");
            if (result != 0)
                break;
            const DDSFieldInfo units = FieldInfo(DDSCalPageField::Units);
            CheckText(buffer.get(), length, record.data() + CalPageFieldOffset(page, DDSCalPageField::Units),
                      units.width);
            Require(SameBits(k[0], record.data() + CalPageFieldOffset(page, DDSCalPageField::K0)) &&
                        SameBits(k[1], record.data() + CalPageFieldOffset(page, DDSCalPageField::K1)) &&
                        SameBits(k[2], record.data() + CalPageFieldOffset(page, DDSCalPageField::K2)),
                    "a page's coefficients come out as the record holds them");
            break;
        }
        case 2: {
            unsigned char active = 0;
            unsigned char highest = 0;
            Require(Ostrel_Device_DDSMem_GetActiveCalPage(device, channel, &active) == 0 &&
                        Ostrel_Device_DDSMem_GetHighestValidCalPageIndex(device, channel, &highest) == 0,
                    "the page fields are read");
            Require(active == record[DDSOffset::ActiveCalPage] &&
                        highest == record[DDSOffset::HighestValidCalPageIndex],
                    "the page fields come out as the record holds them, in range or not");
            float ymax = 0;
            unsigned short warmUp = 0;
            Require(Ostrel_Device_DDSMem_GetYmaxValue(device, channel, &ymax) == 0 &&
                        Ostrel_Device_DDSMem_GetWarmUpTime(device, channel, &warmUp) == 0,
                    "number fields are read");
            Require(SameBits(ymax, record.data() + DDSOffset::YmaxValue) &&
                        warmUp == (record[DDSOffset::WarmUpTime] | record[DDSOffset::WarmUpTime + 1] << 8),
                    "number fields come out as the record holds them");
            break;
        }
        case 3: {
            // Whatever the active page says, the calibration takes a real one.
            const int raw = static_cast<int>(in.U16()) - 0x8000;
            (void)Ostrel_Device_CalibrateData2(device, channel, raw);
            (void)Ostrel_Device_CalibrateData(device, channel, raw / 1000.0);
            (void)Ostrel_Device_ConvertToVoltage(device, channel, raw);
            break;
        }
        default: {
            unsigned char checksum = 0;
            Require(Ostrel_Device_DDSMem_CalculateChecksum(device, channel, &checksum) == 0 &&
                        checksum == ComputeChecksum(record.data()),
                    "the checksum is that of the stored bytes");
            break;
        }
        }
    }
    return 0;
}
