// The simulated Widcomm shim: the WidI_ functions of ZEL_WidI.dll /
// libZEL_WidI.so over simulated units (sim::SimUnit) in the same process.
// Test and demo support only. Standard C++ and SimUnit alone: it shares no
// code with the product library, which is thus shown to run against a shim
// it was not built with.
//
// Units. One process-wide unit set, made on first use from the environment
// unless SimWidI::SetUnits came first:
//   ZEL_WIDI_SIM_UNITS       comma-separated serials, one unit each
//                            (SimUnit(serial): address from the serial, name
//                            "QuorvelKTRX <serial>"). Unset, empty or without
//                            any serial: "12345,67890". Blanks around a serial
//                            are dropped; a repeated serial is taken once.
//   ZEL_WIDI_SIM_NO_SERVICE  comma-separated serials whose service search
//                            fails (the unit is found by an inquiry but offers
//                            no serial port, so it cannot be connected).
//   ZEL_WIDI_SIM_LINK_RATE   bytes per second each unit's link carries
//                            (SimUnit::SetLinkRate); 0 is memory speed. Unset,
//                            empty or not a number: kDefaultLinkRate, about
//                            what a classic Bluetooth serial link carries, so
//                            that hosts see what a real unit's host sees.
//   ZEL_WIDI_SIM_LINK_DROP   "AFTER:DOWN" in seconds (e.g. "20:5"): every
//                            unit loses its link AFTER seconds into its first
//                            link that lasts that long and is out of reach
//                            for DOWN seconds (SimUnit::DropLinkAfter): not
//                            listed by an inquiry, no service found, no
//                            connect. Once per unit. Unset or malformed: none.
// All are read when that default set is made: on first use, and on the first
// use after SimWidI::ResetUnits.
//
// Search. WidI_StartInquiry snapshots the unit set into 260-byte records owned
// by the stack handle: bytes 4..9 the address, least significant byte first;
// byte 10 zero (free for the channel); from byte 11 the name, zero-terminated.
// A record stays valid until WidI_CloseStack, also across a later inquiry.
// A unit out of reach (SimUnit::InReach) is left out.
// WidI_StartServiceDiscovery completes at once: found when a listed unit in
// reach has that address and its service is on; the channel is then kChannel.
//
// Connection. WidI_Connect needs a target set by WidI_SetConnectionTarget and
// refuses (-1) an address no listed unit has, a channel other than kChannel,
// a unit whose service is off, and a unit linked to another connection (one
// link per unit, as RFCOMM to a serial port). The receive and event callbacks
// in force at WidI_Connect serve that link. Received bytes reach the receive
// callback on the unit's own delivery thread, in the unit's chunks. A second
// WidI_Connect starts a fresh link. WidI_Write hands the bytes to the unit:
// 0 with the count unchanged, or -1 with the count 0 when there is no link or
// the unit closed it. WidI_Disconnect returns once no callback of the link can
// run any more; called from inside one of its own callbacks it stops the link
// at once and leaves the final join (and the unit's release) to the next
// WidI_Disconnect, WidI_Connect or WidI_DestroyConnection. WidI_Connect from
// inside its own callback is refused.
//
// Events passed to the event callback (its result is ignored):
//   kEventConnected     after WidI_Connect succeeded, on the caller's thread
//   kEventDisconnected  after a link was ended by WidI_Disconnect, WidI_Connect
//                       or WidI_DestroyConnection, on the caller's thread
//   kEventLinkLost      the unit closed the link, on its delivery thread
//
// Handles are checked against the live ones: a null, closed or unknown handle
// makes every function do nothing or return its failure value. All functions
// may be called from any thread.
#pragma once

#ifdef __cplusplus
#include "SimUnit.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>
#endif

#if defined(_WIN32)
#define ZEL_WIDI_API // exported by ordinal through ZEL_WidI.def
#else
#define ZEL_WIDI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *WidI_Stack;
typedef void *WidI_Connection;
typedef void (*WidI_ReceiveCallback)(const unsigned char *bytes, int count, void *context);
typedef int (*WidI_EventCallback)(void *context, int event);

ZEL_WIDI_API WidI_Stack WidI_OpenStack(void);                                                         /*  1 */
ZEL_WIDI_API void WidI_CloseStack(WidI_Stack stack);                                                  /*  2 */
ZEL_WIDI_API void WidI_StartInquiry(WidI_Stack stack);                                                /*  3 */
ZEL_WIDI_API void WidI_StopInquiry(WidI_Stack stack);                                                 /*  4 */
ZEL_WIDI_API void WidI_StartServiceDiscovery(WidI_Stack stack, const unsigned char address[6]);       /*  5 */
ZEL_WIDI_API int WidI_GetDeviceCount(WidI_Stack stack);                                               /*  6 */
ZEL_WIDI_API const unsigned char *WidI_GetDeviceRecord(WidI_Stack stack, int index);                  /*  7 */
ZEL_WIDI_API WidI_Connection WidI_CreateConnection(void);                                             /*  8 */
ZEL_WIDI_API void WidI_SetReceiveCallback(WidI_Connection c, WidI_ReceiveCallback cb, void *context); /*  9 */
ZEL_WIDI_API void WidI_DestroyConnection(WidI_Connection c);                                          /* 10 */
ZEL_WIDI_API int WidI_Connect(WidI_Connection c);                                                     /* 11 */
ZEL_WIDI_API void WidI_Disconnect(WidI_Connection c);                                                 /* 12 */
ZEL_WIDI_API int WidI_Write(WidI_Connection c, const unsigned char *bytes, int *count);               /* 13 */
ZEL_WIDI_API int WidI_ContinueDiscovery(WidI_Stack stack);                                            /* 14 */
ZEL_WIDI_API unsigned char WidI_GetDiscoveredChannel(WidI_Stack stack);                               /* 15 */
ZEL_WIDI_API void WidI_SetConnectionTarget(WidI_Connection c, const unsigned char address[6],
                                           unsigned char channel);                                /* 16 */
ZEL_WIDI_API int WidI_IsServiceFound(WidI_Stack stack);                                           /* 17 */
ZEL_WIDI_API void WidI_SetEventCallback(WidI_Connection c, WidI_EventCallback cb, void *context); /* 18 */

#ifdef __cplusplus
} // extern "C"

namespace sim {
namespace SimWidI {

constexpr size_t kRecordSize = 260;
constexpr size_t kRecordAddress = 4; // 6 bytes, least significant first
constexpr size_t kRecordChannel = 10;
constexpr size_t kRecordName = 11;
constexpr unsigned char kChannel = 1; // every unit's serial port service
// Bytes per second of the units made from the environment: 723 kbit/s, the
// classic asymmetric Bluetooth data rate, is about 90 KB/s.
constexpr uint32_t kDefaultLinkRate = 90000;

constexpr int kEventConnected = 1;
constexpr int kEventDisconnected = 2;
constexpr int kEventLinkLost = 3;

// Replaces the unit set (the environment is then never read); every unit's
// service is on. Links already made keep their units.
void SetUnits(std::vector<std::shared_ptr<SimUnit>> units);
// The unit set, made from the environment if nothing set it before.
std::vector<std::shared_ptr<SimUnit>> Units();
// Forgets the unit set: the next use makes it from the environment again.
void ResetUnits();
// Turns a listed unit's service on or off; other units are ignored.
void SetServiceFound(const SimUnit *unit, bool found);

// Stack handles not yet closed, and connections not yet destroyed.
size_t OpenStacks();
size_t LiveConnections();

} // namespace SimWidI
} // namespace sim
#endif
