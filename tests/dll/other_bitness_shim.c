/* A Widcomm shim of the other bitness for the 64-bit library: built as a
 * 32-bit ZEL_WidI.dll and put beside a 64-bit host. Were the library ever to
 * call it, it would report a stack with one unit, which the host's check of
 * an empty search catches; the library must take it for no shim at all. */
#include "SimWidI.h"

#include <string.h>

static unsigned char record[260];
static int stack;

WidI_Stack WidI_OpenStack(void) {
    return &stack;
}
void WidI_CloseStack(WidI_Stack s) {
    (void)s;
}
void WidI_StartInquiry(WidI_Stack s) {
    (void)s;
}
void WidI_StopInquiry(WidI_Stack s) {
    (void)s;
}
void WidI_StartServiceDiscovery(WidI_Stack s, const unsigned char address[6]) {
    (void)s, (void)address;
}
int WidI_GetDeviceCount(WidI_Stack s) {
    (void)s;
    return 1;
}
const unsigned char *WidI_GetDeviceRecord(WidI_Stack s, int index) {
    (void)s, (void)index;
    strcpy((char *)record + 11, "QuorvelKTRX 99999");
    return record;
}
WidI_Connection WidI_CreateConnection(void) {
    return NULL;
}
void WidI_SetReceiveCallback(WidI_Connection c, WidI_ReceiveCallback cb, void *context) {
    (void)c, (void)cb, (void)context;
}
void WidI_DestroyConnection(WidI_Connection c) {
    (void)c;
}
int WidI_Connect(WidI_Connection c) {
    (void)c;
    return 0;
}
void WidI_Disconnect(WidI_Connection c) {
    (void)c;
}
int WidI_Write(WidI_Connection c, const unsigned char *bytes, int *count) {
    (void)c, (void)bytes, (void)count;
    return -1;
}
int WidI_ContinueDiscovery(WidI_Stack s) {
    (void)s;
    return 0;
}
unsigned char WidI_GetDiscoveredChannel(WidI_Stack s) {
    (void)s;
    return 1;
}
void WidI_SetConnectionTarget(WidI_Connection c, const unsigned char address[6], unsigned char channel) {
    (void)c, (void)address, (void)channel;
}
int WidI_IsServiceFound(WidI_Stack s) {
    (void)s;
    return 1;
}
void WidI_SetEventCallback(WidI_Connection c, WidI_EventCallback cb, void *context) {
    (void)c, (void)cb, (void)context;
}
