// The half of a named mutex on Linux that keeps processes apart: a claim on
// the name that at most one process of the user holds at a time
// (Platform.cpp keeps the threads of one process apart).
//
// The claim is a Unix stream socket bound, and listening, at the abstract
// address "Ostrel_lib/<effective uid>/<name>". The kernel lets one socket
// bind an address, keeps it bound exactly as long as a descriptor of the
// socket is open, and frees it however its process ends. No file carries it:
// a cleaner that empties /dev/shm or /tmp, or removes a user's IPC objects at
// logout, cannot end a claim whose holder lives, and a killed holder leaves
// nothing behind. Every process that can reach Bluetooth shares the one
// namespace (Bluetooth sockets exist only in the host's first network
// namespace), whether started from a desktop, over SSH or as a service; the
// effective uid keeps users apart, root's names included.
//
// Waiting. A process that finds the address bound connects to it and learns
// the holder's user from the connection (SO_PEERCRED). A holder of the same
// user is waited for on that connection. One that lets go first sends a byte
// down every pending connection, so a waiter whose connection ends without
// it knows that the holder ended while holding.
//
// Squatters. Any account can bind any abstract address. One of another user
// on ours (told by SO_PEERCRED, or an address bound with no listener for
// longer than a holder takes from bind to listen) is not waited for: the
// claim falls back to an open-file-description lock on
// <home>/.local/state/Ostrel_lib/<name>.lock, in the user's home from the user
// database, where no other account can create or lock anything. A process
// that binds the address checks that file too, and a process that locks the
// file checks the address again, so that a claim taken either way excludes a
// claim taken the other way. A lock file is removed by whoever holds both, so
// the file only exists while a squatter is about (or its holder was killed).
// Homes on network file systems are not used for it: there, a squatter on the
// address blocks the claim, and the failure says so.
//
// Forks. A claim belongs to the process that made it. In a child made by
// fork, every operation of an inherited claim fails, and the child's copies of
// the descriptors that hold claims are closed at once, so that the parent's
// release frees the name however long the child lives.
#pragma once

#include <cstdint>
#include <string>

namespace NamedClaim {

enum class Outcome {
    Held,
    HeldAfterHolderEnded, // the previous holder ended while holding
    Busy,                 // another process of the user held it to the end
    Failed,               // cannot be had: see Failure()
};

class Claim {
  public:
    // name: the mutex name, UTF-8.
    explicit Claim(const std::string &name);
    ~Claim(); // abandons the claim if held
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;

    // Takes the claim, waiting up to timeoutMs (Platform::kInfinite: no end).
    Outcome Take(uint32_t timeoutMs);
    // Lets go of the claim. Waiting processes hear that it was released; with
    // released false they take it as abandoned (its holder gone while
    // holding).
    void Give(bool released = true);
    bool Held() const { return m_listener >= 0 || m_lockFile >= 0; }

    // Why the last Take failed, naming the address and the lock file.
    const std::string &Failure() const { return m_failure; }
    // The address as `ss -x` shows it: "@Ostrel_lib/<uid>/<name>".
    std::string ShownAddress() const { return "@" + m_address; }

  private:
    enum class Fallback { Held, HeldBound, Busy, Retry, OwnHolder, Failed };
    bool InThisProcess() const;
    bool LockFileFreeWhileBound();
    Fallback TakeFallback(int &ownHolder);

    std::string m_address;  // without the leading zero byte
    std::string m_fileName; // of the fallback lock file
    int m_listener = -1;    // the bound socket, while held through the address
    int m_lockFile = -1;    // the locked fallback file, while held through it
    uint32_t m_process;
    std::string m_failure;
};

// Around a fork, called by the platform layer's fork handlers (after it took
// its own lock): no claim changes hands meanwhile, and in the child the
// copies of the descriptors that hold claims are closed.
void LockBeforeFork();
void UnlockAfterFork(bool inChild);

// The address of a name (without the leading zero byte), for tests that
// squat it.
std::string AddressOf(const std::string &name);
// Where the fallback lock files are: <home>/.local/state/Ostrel_lib.
std::string FallbackDirectory();
// Tests: another fallback directory; null goes back to the home.
void SetFallbackDirectoryForTesting(const char *directory);

} // namespace NamedClaim
