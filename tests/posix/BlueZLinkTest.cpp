// The BlueZ link's socket I/O against a unit end the test holds itself (no
// bus: the link then reaches the unit from the adapter its port record
// names): sends that wait for room, a receive thread that Close wakes at
// once and that hands over every byte the unit sent before it hung up.
#include "BluetoothStacks.h"
#include "GBluetoothDevice.h"
#include "Posix/BlueZPortRecord.h"
#include "Posix/BluetoothSocket.h"
#include "TraceCapture.h"

#include "../unit/interface/InterfaceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using iface_test::Clock;
using iface_test::MillisecondsSince;
using iface_test::WaitUntil;

namespace {

// A unit of this process's own: the claim on a unit is machine-wide, and
// ctest runs these tests side by side in processes of their own.
const BluetoothSocket::Address kUnit = {0x00, 0x07, 0x80, 0x15, static_cast<uint8_t>(getpid() >> 8),
                                        static_cast<uint8_t>(getpid())};
const BluetoothSocket::Address kAdapter = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x00};
constexpr size_t kBigWrite = 4 << 20; // far more than a socket holds

int Listen(const std::string &path, int type) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
        ADD_FAILURE() << path << ": " << std::strerror(errno);
    return fd;
}

// The unit's ends in a folder of the test's own: an SDP server that names
// channel 1, and the serial port, whose accepted links the test takes.
class UnitEnds {
  public:
    UnitEnds() {
        char folder[] = "/tmp/ostrel-link-XXXXXX";
        m_folder = mkdtemp(folder);
        const std::string ends =
            m_folder + "/" + BluetoothSocket::AddressText(kAdapter) + "/" + BluetoothSocket::AddressText(kUnit);
        std::filesystem::create_directories(ends);
        m_sdp = Listen(ends + "/sdp", SOCK_SEQPACKET);
        m_port = Listen(ends + "/rfcomm1", SOCK_STREAM);
        setenv(BluetoothSocket::kTestFolderVariable, m_folder.c_str(), 1);
        m_server = std::thread([this] { ServeSdp(); });
    }
    ~UnitEnds() {
        shutdown(m_sdp, SHUT_RDWR);
        m_server.join();
        close(m_sdp);
        close(m_port);
        unsetenv(BluetoothSocket::kTestFolderVariable);
        std::filesystem::remove_all(m_folder);
    }

    // The next link the host made to the serial port; -1 when none came (an
    // open that failed), so that the test fails instead of hanging.
    int TakeLink() {
        pollfd ready{m_port, POLLIN, 0};
        if (poll(&ready, 1, 20000) != 1)
            return -1;
        return accept4(m_port, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    void ServeSdp() {
        for (;;) {
            const int link = accept4(m_sdp, nullptr, nullptr, SOCK_CLOEXEC);
            if (link < 0)
                return;
            uint8_t request[256];
            if (recv(link, request, sizeof request, 0) >= 5) {
                // One record: the serial port on RFCOMM channel 1.
                uint8_t response[] = {0x07, request[1], request[2], 0x00, 0x20, 0x00, 0x1D, 0x35, 0x1B, 0x35,
                                      0x19, 0x09,       0x00,       0x01, 0x35, 0x03, 0x19, 0x11, 0x01, 0x09,
                                      0x00, 0x04,       0x35,       0x0C, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35,
                                      0x05, 0x19,       0x00,       0x03, 0x08, 0x01, 0x00};
                send(link, response, sizeof response, MSG_NOSIGNAL);
            }
            close(link);
        }
    }

    std::string m_folder;
    int m_sdp = -1;
    int m_port = -1;
    std::thread m_server;
};

struct Received {
    static void OnBytes(const uint8_t *bytes, int32_t count, void *context) {
        auto *self = static_cast<Received *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->bytes.insert(self->bytes.end(), bytes, bytes + count);
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }
    std::mutex mutex;
    std::vector<uint8_t> bytes;
};

std::wstring Location(const BluetoothSocket::Address &address) {
    wchar_t text[13];
    std::swprintf(text, 13, L"%02X%02X%02X%02X%02X%02X", address[0], address[1], address[2], address[3], address[4],
                  address[5]);
    return text;
}

class BlueZLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BluetoothStackType = kStackBlueZ;
        const std::vector<uint8_t> record = BlueZPortRecord::Encode(kUnit, kAdapter);
        device = std::make_unique<GBluetoothDevice>(
            GPortRef(Location(kUnit), L"15201", L"", record.data(), static_cast<int32_t>(record.size())));
        device->OSInitialize();
        device->SetReceiveCallback(&Received::OnBytes, &received);
    }
    void TearDown() override {
        device.reset();
        BluetoothStackType = m_savedStack;
    }

    // Opens the device and hands back the unit's end of the link.
    int Open() {
        auto link = std::async(std::launch::async, [this] { return ends.TakeLink(); });
        EXPECT_EQ(device->Open(nullptr), 0);
        return link.get();
    }

    int32_t Write(const std::vector<uint8_t> &bytes) {
        int32_t count = static_cast<int32_t>(bytes.size());
        const int32_t result = device->Write(bytes.data(), &count);
        EXPECT_EQ(count, result == 0 ? static_cast<int32_t>(bytes.size()) : 0);
        return result;
    }

    UnitEnds ends;
    Received received;
    std::unique_ptr<GBluetoothDevice> device;

  private:
    int32_t m_savedStack = BluetoothStackType.load();
};

} // namespace

TEST_F(BlueZLinkTest, SendsWaitForRoomWhileTheUnitIsBusyAndGiveUpWhenItTakesNothing) {
    const int unit = Open();
    ASSERT_GE(unit, 0);
    std::vector<uint8_t> bytes(kBigWrite);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);

    // The unit starts reading only once the socket is long full.
    auto taken = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<uint8_t> in(bytes.size());
        size_t got = 0;
        pollfd ready{unit, POLLIN, 0};
        while (got < in.size() && poll(&ready, 1, 5000) > 0) {
            const ssize_t n = recv(unit, in.data() + got, in.size() - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        return in;
    });
    EXPECT_EQ(Write(bytes), 0);
    EXPECT_TRUE(taken.get() == bytes);

    // A unit that takes nothing more: the send gives up, and says why.
    TraceCapture trace;
    EXPECT_EQ(Write(bytes), -1);
    EXPECT_TRUE(trace.Contains(L"Send Failed" + std::to_wstring(ETIMEDOUT)));
    EXPECT_EQ(device->Close(), 0);
    close(unit);
}

TEST_F(BlueZLinkTest, CloseWakesTheWaitingReceiverAndEveryByteBeforeAHangUpArrives) {
    for (int round = 0; round < 2; ++round) {
        const int unit = Open();
        ASSERT_GE(unit, 0);
        const std::vector<uint8_t> greeting = {0xB8, 0x05, 0x01, 0x02, 0x03};
        ASSERT_EQ(send(unit, greeting.data(), greeting.size(), 0), static_cast<ssize_t>(greeting.size()));
        EXPECT_TRUE(WaitUntil([&] { return received.Size() == greeting.size(); }, 5000));
        // The receiver now waits for data that never comes.
        const auto start = Clock::now();
        EXPECT_EQ(device->Close(), 0);
        EXPECT_LT(MillisecondsSince(start), 2000);
        close(unit);
        received.bytes.clear();
    }

    const int unit = Open();
    ASSERT_GE(unit, 0);
    std::vector<uint8_t> last(20000);
    for (size_t i = 0; i < last.size(); ++i)
        last[i] = static_cast<uint8_t>(i);
    TraceCapture trace;
    ASSERT_EQ(send(unit, last.data(), last.size(), 0), static_cast<ssize_t>(last.size()));
    close(unit);
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains(L"Read Failed0"); }, 5000));
    EXPECT_EQ(received.bytes, last);
    EXPECT_EQ(Write({0x40, 0x05, 0xFE, 0x5B, 0x1C}), -1);
    EXPECT_EQ(device->Close(), 0);
}
