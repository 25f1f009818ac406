/* A plain C host that loads the built library at run time, as applications
 * do, and drives it through a real Bluetooth stack choice:
 *
 *   dll_stack_host LIBRARY shim SERIAL[,SERIAL...]
 *       the simulated shim is reachable: the search lists those units; one is
 *       opened and used end to end (data sheets, a stream, memory, diagnostics).
 *   dll_stack_host LIBRARY units SERIAL[,SERIAL...]
 *       the same on whichever stack the library chooses (BlueZ with a
 *       simulated BlueZ on a private bus, on Linux).
 *   dll_stack_host LIBRARY none
 *       a stack without units (Windows without the shim): Init succeeds, the
 *       search finds nothing, opening fails cleanly.
 *   dll_stack_host LIBRARY nostack
 *       no stack at all: Init answers null.
 *
 * Every export is declared through the public header (__typeof__ of its
 * declaration), so the header's prototypes are what this host calls. */
#include "Ostrel_lib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define LOAD_LIBRARY(path) ((void *)LoadLibraryA(path))
#define FIND_FUNCTION(library, name) ((void *)GetProcAddress((HMODULE)(library), name))
#define SLEEP_MS(ms) Sleep(ms)
#else
#include <dlfcn.h>
#include <time.h>
#define LOAD_LIBRARY(path) dlopen(path, RTLD_NOW)
#define FIND_FUNCTION(library, name) dlsym(library, name)
static void SLEEP_MS(unsigned ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

static int failures = 0;
static int checks = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        ++checks;                                                                                                      \
        if (!(condition)) {                                                                                            \
            printf("FAILED: %s (line %d)\n", #condition, __LINE__);                                                    \
            fflush(stdout);                                                                                            \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

static void *library;

/* Resolves an export into a pointer of its declared type; a missing one ends
 * the run. */
static void *Find(const char *name) {
    void *function = FIND_FUNCTION(library, name);
    if (function == NULL) {
        printf("FAILED: export %s not found\n", name);
        exit(1);
    }
    return function;
}
#define IMPORT(name) __typeof__(&name) p_##name = (__typeof__(&name))Find(#name)

enum { kDeviceType = OSTREL_DEVICE_TYPE, kCmdStart = 0x18, kCmdStop = 0x19, kCmdGetPeriod = 0x1C };

static int Finish(void) {
    printf("%d checks: %d passed, %d failed\n", checks, checks - failures, failures);
    return failures == 0 ? 0 : 1;
}

/* The names the last search listed, comma-separated; every status open or
 * not, as the host sees it. */
static void ListUnits(OstrelLibrary lib, char *names, size_t size, int *count) {
    IMPORT(Ostrel_SearchForDevices);
    IMPORT(Ostrel_OpenDeviceListSnapshot);
    IMPORT(Ostrel_DeviceListSnapshot_GetNthEntry);
    IMPORT(Ostrel_CloseDeviceListSnapshot);
    int stamp = -1, entries = -1;
    unsigned n;
    OstrelSnapshot snapshot;

    names[0] = '\0';
    CHECK(p_Ostrel_SearchForDevices(lib, kDeviceType, 0, &stamp) == 0);
    snapshot = p_Ostrel_OpenDeviceListSnapshot(lib, kDeviceType, &entries, &stamp);
    CHECK(snapshot != NULL);
    *count = entries;
    for (n = 0; snapshot != NULL && n < (unsigned)entries; ++n) {
        char name[64];
        int status = -1;
        CHECK(p_Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, n, name, sizeof name, &status) == 0);
        CHECK(status == OSTREL_STATUS_NOT_OPEN);
        if (strlen(names) + strlen(name) + 2 < size) {
            if (names[0] != '\0')
                strcat(names, ",");
            strcat(names, name);
        }
    }
    if (snapshot != NULL)
        CHECK(p_Ostrel_CloseDeviceListSnapshot(snapshot) == 0);
}

static void CheckDataSheets(OstrelDevice device) {
    IMPORT(Ostrel_Device_DDSMem_GetLongName);
    IMPORT(Ostrel_Device_DDSMem_GetCalPage);
    IMPORT(Ostrel_Device_DDSMem_GetActiveCalPage);
    IMPORT(Ostrel_Device_DDSMem_GetChecksum);
    IMPORT(Ostrel_Device_DDSMem_CalculateChecksum);
    char text[32] = "";
    char units[16] = "";
    unsigned char page = 99, stored = 0, computed = 1;
    float k0 = 0, k1 = 0, k2 = 0;

    CHECK(p_Ostrel_Device_DDSMem_GetLongName(device, 3, text, sizeof text) == 0);
    CHECK(strcmp(text, "Temperature Probe") == 0);
    CHECK(p_Ostrel_Device_DDSMem_GetActiveCalPage(device, 3, &page) == 0);
    CHECK(p_Ostrel_Device_DDSMem_GetCalPage(device, 3, page, &k0, &k1, &k2, units, sizeof units) == 0);
    CHECK(k0 == -40.0f && k1 == 33.0f && strcmp(units, "degC") == 0);
    CHECK(p_Ostrel_Device_DDSMem_GetChecksum(device, 4, &stored) == 0);
    CHECK(p_Ostrel_Device_DDSMem_CalculateChecksum(device, 4, &computed) == 0);
    CHECK(stored == computed);
}

/* Channel 3 measures temperature: 0 .. 5 V through -40 + 33 V degC. */
static void CheckStream(OstrelDevice device) {
    IMPORT(Ostrel_Device_SetMeasurementPeriod);
    IMPORT(Ostrel_Device_SendCmdAndGetResponse);
    IMPORT(Ostrel_Device_GetNumMeasurementsAvailable);
    IMPORT(Ostrel_Device_ReadRawMeasurements);
    IMPORT(Ostrel_Device_CalibrateData2);
    int values[64];
    int waited, read, i, inRange = 1;

    CHECK(p_Ostrel_Device_SetMeasurementPeriod(device, 0.01, 2000) == 0);
    CHECK(p_Ostrel_Device_SendCmdAndGetResponse(device, kCmdStart, NULL, 0, NULL, NULL, 2000) == 0);
    for (waited = 0; waited < 20000 && p_Ostrel_Device_GetNumMeasurementsAvailable(device, 3) < 64; waited += 50)
        SLEEP_MS(50);
    CHECK(p_Ostrel_Device_SendCmdAndGetResponse(device, kCmdStop, NULL, 0, NULL, NULL, 2000) == 0);
    read = p_Ostrel_Device_ReadRawMeasurements(device, 3, values, 64);
    CHECK(read == 64);
    for (i = 0; i < read; ++i) {
        double celsius = p_Ostrel_Device_CalibrateData2(device, 3, values[i]);
        if (!(celsius >= -40.0 && celsius <= 125.1))
            inRange = 0;
    }
    CHECK(inRange);
}

static void CheckMemory(OstrelDevice device) {
    IMPORT(Ostrel_Device_NVMemBlk_GetAddrRange);
    IMPORT(Ostrel_Device_NVMemBlk_Write);
    IMPORT(Ostrel_Device_NVMemBlk_Read);
    unsigned char written[300], back[300];
    int first = -1, last = -1, i;

    CHECK(p_Ostrel_Device_NVMemBlk_GetAddrRange(device, OSTREL_BLOCK_UNIT_MEMORY, &first, &last) == 0);
    CHECK(first == 0 && last == 24575);
    for (i = 0; i < 300; ++i)
        written[i] = (unsigned char)(i * 7 + 3);
    CHECK(p_Ostrel_Device_NVMemBlk_Write(device, OSTREL_BLOCK_UNIT_MEMORY, written, 1000, 300, 5000) == 0);
    memset(back, 0, sizeof back);
    CHECK(p_Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, back, 1000, 300, 5000) == 0);
    CHECK(memcmp(written, back, sizeof back) == 0);
}

static void CheckDiagnostics(OstrelLibrary lib, OstrelDevice device) {
    IMPORT(Ostrel_Diags_SetDebugTraceThreshold);
    IMPORT(Ostrel_Diags_GetDebugTraceThreshold);
    IMPORT(Ostrel_Diags_SetIOTraceEnableFlag);
    IMPORT(Ostrel_Diags_GetNumOutputTraceBytesAvailable);
    IMPORT(Ostrel_Diags_ReadOutputTraceBytes);
    IMPORT(Ostrel_Device_SendCmdAndGetResponse);
    unsigned char response[64], sent[64];
    int size = sizeof response, threshold = -1, count;

    CHECK(p_Ostrel_Diags_SetDebugTraceThreshold(lib, 10) == 0);
    CHECK(p_Ostrel_Diags_GetDebugTraceThreshold(lib, &threshold) == 0 && threshold == 10);
    CHECK(p_Ostrel_Diags_SetDebugTraceThreshold(lib, 100) == 0);
    CHECK(p_Ostrel_Diags_SetIOTraceEnableFlag(device, 1) == 0);
    while (p_Ostrel_Diags_ReadOutputTraceBytes(device, sent, sizeof sent) > 0) /* what came before */
        ;
    CHECK(p_Ostrel_Device_SendCmdAndGetResponse(device, kCmdGetPeriod, NULL, 0, response, &size, 2000) == 0);
    count = p_Ostrel_Diags_GetNumOutputTraceBytesAvailable(device);
    CHECK(count > 0);
    CHECK(p_Ostrel_Diags_ReadOutputTraceBytes(device, sent, sizeof sent) == count);
    CHECK(count > 4 && sent[4] == kCmdGetPeriod); /* the command blob as sent */
    CHECK(p_Ostrel_Diags_SetIOTraceEnableFlag(device, 0) == 0);
}

static int RunWithShim(const char *serials) {
    IMPORT(Ostrel_Init);
    IMPORT(Ostrel_Uninit);
    IMPORT(Ostrel_Device_Open);
    IMPORT(Ostrel_Device_Close);
    OstrelLibrary lib = p_Ostrel_Init();
    OstrelDevice device;
    char names[256], first[32];
    int count = 0;
    const char *comma = strchr(serials, ',');
    size_t firstLength = comma != NULL ? (size_t)(comma - serials) : strlen(serials);

    CHECK(lib != NULL);
    if (lib == NULL)
        return Finish();
    printf("searching (15 s on Widcomm, 7.7 s on BlueZ)...\n");
    fflush(stdout);
    ListUnits(lib, names, sizeof names, &count);
    printf("found: %s\n", names);
    CHECK(strcmp(names, serials) == 0);

    snprintf(first, sizeof first, "%.*s", (int)firstLength, serials);
    printf("opening %s...\n", first);
    fflush(stdout);
    device = p_Ostrel_Device_Open(lib, first);
    CHECK(device != NULL);
    if (device != NULL) {
        CheckDataSheets(device);
        CheckStream(device);
        CheckMemory(device);
        CheckDiagnostics(lib, device);
        CHECK(p_Ostrel_Device_Close(device) == 0);
    }
    CHECK(p_Ostrel_Uninit(lib) == 0);
    return Finish();
}

static int RunWithoutUnits(void) {
    IMPORT(Ostrel_Init);
    IMPORT(Ostrel_Uninit);
    IMPORT(Ostrel_Device_Open);
    OstrelLibrary lib = p_Ostrel_Init();
    char names[256];
    int count = -1;

    CHECK(lib != NULL);
    if (lib == NULL)
        return Finish();
    ListUnits(lib, names, sizeof names, &count);
    CHECK(count == 0);
    CHECK(p_Ostrel_Device_Open(lib, "12345") == NULL);
    CHECK(p_Ostrel_Uninit(lib) == 0);
    return Finish();
}

static int RunWithoutStack(void) {
    IMPORT(Ostrel_Init);
    CHECK(p_Ostrel_Init() == NULL);
    return Finish();
}

int main(int argc, char **argv) {
    if (argc < 3) {
        printf("usage: dll_stack_host LIBRARY shim|units SERIALS | none | nostack\n");
        return 2;
    }
    library = LOAD_LIBRARY(argv[1]);
    if (library == NULL) {
        printf("FAILED: cannot load %s\n", argv[1]);
        return 1;
    }
    if ((strcmp(argv[2], "shim") == 0 || strcmp(argv[2], "units") == 0) && argc >= 4)
        return RunWithShim(argv[3]);
    if (strcmp(argv[2], "none") == 0)
        return RunWithoutUnits();
    if (strcmp(argv[2], "nostack") == 0)
        return RunWithoutStack();
    printf("usage: dll_stack_host LIBRARY shim|units SERIALS | none | nostack\n");
    return 2;
}
