// The Widcomm stack's shim library (ZEL_WidI): its functions as one table,
// loaded on first use. The library never links the shim: a machine without
// it simply has no Widcomm stack.
#pragma once

#include <cstdint>

namespace WidI {

using Stack = void *;
using Connection = void *;
using ReceiveCallback = void (*)(const unsigned char *bytes, int count, void *context);
using EventCallback = int (*)(void *context, int event);

// The shim's 260-byte device record.
constexpr int kRecordSize = 260;
constexpr int kRecordAddressOffset = 4; // 6 bytes, least significant first
constexpr int kRecordChannelOffset = 10;
constexpr int kRecordNameOffset = 11; // 8-bit, zero-terminated

// The shim's functions, all cdecl. Each is found by its own ordinal (on
// Windows the shim exports by ordinal only); the order here is free.
struct Api {
    Stack (*OpenStack)();
    void (*CloseStack)(Stack stack);
    void (*StartInquiry)(Stack stack);
    void (*StopInquiry)(Stack stack);
    void (*StartServiceDiscovery)(Stack stack, const unsigned char address[6]);
    int (*GetDeviceCount)(Stack stack);
    const unsigned char *(*GetDeviceRecord)(Stack stack, int index);
    Connection (*CreateConnection)();
    void (*SetReceiveCallback)(Connection connection, ReceiveCallback callback, void *context);
    void (*DestroyConnection)(Connection connection);
    int (*Connect)(Connection connection);
    void (*Disconnect)(Connection connection);
    int (*Write)(Connection connection, const unsigned char *bytes, int *count);
    int (*ContinueDiscovery)(Stack stack);
    unsigned char (*GetDiscoveredChannel)(Stack stack);
    void (*SetConnectionTarget)(Connection connection, const unsigned char address[6], unsigned char channel);
    int (*IsServiceFound)(Stack stack);
    void (*SetEventCallback)(Connection connection, EventCallback callback, void *context);
};

} // namespace WidI

// The shim, loaded on first use; null while it cannot be loaded or lacks a
// function (asked again next time, so a shim installed later is found).
// Once loaded it stays loaded.
const WidI::Api *WidIShim();

// Fills the table from a loaded shim library, each function through `find`
// with its ordinal and its name ("WidI_OpenStack"); false when one is
// missing.
using WidIFunctionFinder = void *(*)(void *library, int ordinal, const char *name);
bool ResolveWidIShim(void *library, WidIFunctionFinder find, WidI::Api &api);

// Tests: use `api` in place of the shim library; a table with a null
// function stands for a missing shim. Null goes back to the library.
// Answers the override it replaces.
const WidI::Api *SetWidIShimForTesting(const WidI::Api *api);

// The Widcomm stack's fixed waits: the inquiry runs for 30 slices of 500 ms,
// the service search of an open for 4000 ms. Tests shorten them; 0 restores.
constexpr int kWidcommInquirySlices = 30;
uint32_t WidcommInquirySliceMs();
uint32_t WidcommServiceSearchMs();
void SetWidcommWaitsForTesting(uint32_t inquirySliceMs, uint32_t serviceSearchMs);
