// A minimal host side for testing the simulated unit on its own: frames
// command blobs, collects what the unit delivers and cuts it by length bytes.
// Deliberately independent of the library.
#pragma once

#include "SimUnit.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
constexpr std::chrono::milliseconds kPatience{3000}; // for what must come
constexpr std::chrono::milliseconds kQuiet{150};     // for what must not

// The parameters every init command carries: (0x05 + k, 0x4A - k), k = 0..9.
inline const Bytes kInitParams = {0x05, 0x4A, 0x06, 0x49, 0x07, 0x48, 0x08, 0x47, 0x09, 0x46,
                                  0x0A, 0x45, 0x0B, 0x44, 0x0C, 0x43, 0x0D, 0x42, 0x0E, 0x41};

inline uint8_t Checksum(const Bytes &blob) {
    unsigned sum = blob[0] + blob[1] + blob[2];
    for (size_t i = 4; i < blob.size(); ++i)
        sum += blob[i];
    return static_cast<uint8_t>(sum);
}

inline Bytes Command(uint8_t cmd, uint8_t counter, const Bytes &params = {}) {
    Bytes blob = {0x40, static_cast<uint8_t>(5 + params.size()), counter, 0, cmd};
    blob.insert(blob.end(), params.begin(), params.end());
    blob[3] = Checksum(blob);
    return blob;
}

inline Bytes Le(uint32_t value, size_t width) {
    Bytes out;
    for (size_t i = 0; i < width; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

inline Bytes ReadParams(uint8_t block, uint32_t address, uint16_t count) {
    Bytes p = {block};
    for (uint8_t b : Le(address, 4))
        p.push_back(b);
    for (uint8_t b : Le(count, 2))
        p.push_back(b);
    return p;
}

inline Bytes WriteParams(uint8_t block, uint32_t address, const Bytes &data) {
    Bytes p = {block};
    for (uint8_t b : Le(address, 4))
        p.push_back(b);
    p.push_back(static_cast<uint8_t>(data.size()));
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

// Cuts a stream that starts on a blob boundary.
inline std::vector<Bytes> CutBlobs(const Bytes &stream, size_t from = 0) {
    std::vector<Bytes> blobs;
    size_t pos = from;
    while (pos + 4 <= stream.size() && pos + stream[pos + 1] <= stream.size() && stream[pos + 1] >= 4) {
        blobs.emplace_back(stream.begin() + static_cast<long>(pos),
                           stream.begin() + static_cast<long>(pos + stream[pos + 1]));
        pos += stream[pos + 1];
    }
    return blobs;
}

struct Response {
    bool complete = false;
    bool error = false;
    Bytes payload;
    std::vector<uint8_t> types;
};

// Gathers the response blobs (classes 0x80/0xA0) that carry `signature`.
inline Response Collect(const std::vector<Bytes> &blobs, uint8_t cmd, uint8_t signature) {
    Response r;
    for (const Bytes &b : blobs) {
        const uint8_t cls = b[0] & 0xE0;
        if ((cls != 0x80 && cls != 0xA0) || b.size() < 6 || b[4] != cmd || b[5] != signature)
            continue;
        r.types.push_back(b[0]);
        r.payload.insert(r.payload.end(), b.begin() + 6, b.end());
        if (b[0] & 0x04)
            r.error = true;
        if (b[0] & (0x04 | 0x10)) {
            r.complete = true;
            break;
        }
    }
    return r;
}

class TestHost {
  public:
    explicit TestHost(sim::SimUnit &unit) : m_unit(unit) {
        unit.SetDeliver([this](const uint8_t *bytes, size_t count) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes.insert(m_bytes.end(), bytes, bytes + count);
            m_chunkSizes.insert(count);
            m_threads.insert(std::this_thread::get_id());
            m_changed.notify_all();
        });
    }
    ~TestHost() { m_unit.Disconnect(); }

    void Send(const Bytes &bytes) { m_unit.Receive(bytes.data(), bytes.size()); }
    void Send(uint8_t cmd, uint8_t counter, const Bytes &params = {}) { Send(Command(cmd, counter, params)); }

    Bytes Received() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    std::set<size_t> ChunkSizes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_chunkSizes;
    }
    std::set<std::thread::id> Threads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }
    bool WaitFor(const std::function<bool(const Bytes &)> &done, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, patience, [&] { return done(m_bytes); });
    }
    bool WaitForBytes(size_t n) {
        return WaitFor([n](const Bytes &b) { return b.size() >= n; });
    }
    // Waits for the whole response to (cmd, signature) in a stream without garbage.
    Response Await(uint8_t cmd, uint8_t signature, std::chrono::milliseconds patience = kPatience) {
        Response r;
        WaitFor(
            [&](const Bytes &b) {
                r = Collect(CutBlobs(b), cmd, signature);
                return r.complete;
            },
            patience);
        return r;
    }
    Response Exchange(uint8_t cmd, uint8_t counter, const Bytes &params = {},
                      std::chrono::milliseconds patience = kPatience) {
        Send(cmd, counter, params);
        return Await(cmd, counter, patience);
    }

  private:
    sim::SimUnit &m_unit;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Bytes m_bytes;
    std::set<size_t> m_chunkSizes;
    std::set<std::thread::id> m_threads;
};

} // namespace simtest
