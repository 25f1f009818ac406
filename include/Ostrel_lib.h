/*
 * Ostrel_lib — host interface to Pellucor wireless sensor units.
 *
 * A plain C interface: every function has C linkage and the cdecl calling
 * convention, and returns a 32-bit int unless its declaration says otherwise.
 * 0 is success and -1 a refused call (unknown handle, lock not had, bad
 * channel or block); other negative values come from the unit's protocol.
 *
 * How a host uses it:
 *
 *   OstrelLibrary lib = Ostrel_Init();
 *   int stamp, count;
 *   Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);   // blocks 8-15 s
 *   OstrelSnapshot snap = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
 *   char name[64]; int status;
 *   Ostrel_DeviceListSnapshot_GetNthEntry(snap, 0, name, sizeof name, &status);
 *   Ostrel_CloseDeviceListSnapshot(snap);
 *   OstrelDevice dev = Ostrel_Device_Open(lib, name);                // on the thread that will use it
 *   ... Ostrel_Device_SendCmd / ReadRawMeasurements / CalibrateData2 ...
 *   Ostrel_Device_Close(dev);
 *   Ostrel_Uninit(lib);
 *
 * Threads. An open device belongs to the thread that opened it: that thread
 * holds the device's claim for the device's whole life, so every guarded
 * per-device call made on another thread returns -1 (after a 1 ms try).
 * Ostrel_Device_Close must run on the opening thread, and so must
 * Ostrel_Uninit while devices are open. Ostrel_Init, Ostrel_Uninit and the
 * discovery calls (search, snapshots, Ostrel_Device_Open) must not run at the
 * same time as any other call. The calibration and constant functions take no
 * lock and may be called from any thread while the device stays open.
 * The unit is also claimed against the other processes of the same user (on
 * Windows, of the same session): a second such process that opens the same
 * unit is refused. Closing a device ends its claim, also one that
 * Ostrel_Device_Lock still holds. On Linux the claim lasts as long as its
 * process, whatever a cleaner removes from /dev/shm or /tmp; no other user's
 * process can take it, nor block it while the user's home directory can hold
 * a lock file (the trace says when it cannot, and Ostrel_GetInitFailure too
 * when that stops Ostrel_Init).
 *
 * Processes. The library is not fork-safe. A child made by fork (without
 * exec) inherits no usable instance: its calls with the parent's library and
 * device handles are refused (-1 or null), the calibration and constant
 * functions aside, and the units the parent holds stay the parent's. A child
 * that needs the library calls Ostrel_Init afresh (the parent's instance is
 * left alone) and opens units of its own. Python's multiprocessing must use
 * the 'spawn' start method for processes that use the library.
 *
 * Channels and blocks are 32-bit arguments of which only the low byte
 * counts, sign-extended: 0x103 is channel 3, 0xFF is -1. The host's sensor
 * channels are 3 to 7; -1 means all channels, or the unit's own memory block.
 * Time-outs are unsigned milliseconds. Text crosses the interface as
 * zero-terminated 8-bit strings; name buffers are always terminated, and
 * names that do not fit are cut.
 */
#ifndef OSTREL_LIB_H
#define OSTREL_LIB_H

#if defined(_WIN32)
#define OSTREL_CALL __cdecl
#define OSTREL_API
#elif defined(__GNUC__)
#define OSTREL_CALL
#define OSTREL_API __attribute__((visibility("default")))
#else
#define OSTREL_CALL
#define OSTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles. */
typedef struct OstrelLibrary_ *OstrelLibrary;
typedef struct OstrelDevice_ *OstrelDevice;
typedef struct OstrelSnapshot_ *OstrelSnapshot;

/* The only device type the discovery calls accept. */
#define OSTREL_DEVICE_TYPE 6
/* Device-list entry statuses. */
#define OSTREL_STATUS_NOT_OPEN 0
#define OSTREL_STATUS_OPEN 3
/* Block number of the unit's own memory (sensor data sheets are blocks 1-7). */
#define OSTREL_BLOCK_UNIT_MEMORY (-1)

/* ---------------------------------------------------------------- lifecycle */

/* Picks the Bluetooth stack and creates the library instance. A second call
 * returns the same handle (there is no call count). Null when no Bluetooth
 * stack is usable or the device-list mutex, which the user's processes share,
 * cannot be had; Ostrel_GetInitFailure tells which. */
OSTREL_API OstrelLibrary OSTREL_CALL Ostrel_Init(void);

/* Results of Ostrel_GetInitFailure. */
#define OSTREL_INIT_NO_STACK 1
#define OSTREL_INIT_NAMED_OBJECTS 2

/* Why the last Ostrel_Init of this process returned null, as one line of text
 * in text (size bytes, at least 1; always terminated, cut to fit).
 * OSTREL_INIT_NO_STACK: no Bluetooth stack was usable. OSTREL_INIT_NAMED_OBJECTS:
 * the device-list mutex could not be had; the text names it and what stood in
 * the way (on Linux, for example, another user's socket on its address and
 * the lock file it falls back to). 0 and an empty text when the last
 * Ostrel_Init succeeded or none has run; -1 (nothing written) when text is
 * null or size is below 1. */
OSTREL_API int OSTREL_CALL Ostrel_GetInitFailure(char *text, int size);

/* Closes every device still open (on the calling thread: call it on the
 * thread that opened them), frees the snapshots and destroys the instance.
 * Every device is tried once, whatever the order of opening. A device it
 * cannot close (opened on another thread that is still running, or the device
 * list busy in another process) keeps its link, but every export refuses its
 * handle; the others are closed all the same.
 * 0, or -1 when lib is not the current instance (nothing changes). */
OSTREL_API int OSTREL_CALL Ostrel_Uninit(OstrelLibrary lib);

/* Stores the version, 0.73, through the two pointers; lib is not examined
 * and may be null. Any thread, any time. Returns 0, or -1 (nothing stored)
 * when either pointer is null. */
OSTREL_API int OSTREL_CALL Ostrel_GetDLLVersion(OstrelLibrary lib, short *major, short *minor);

/* ---------------------------------------------------------------- discovery */

/* Searches the chosen Bluetooth stack for units (blocks for about 7.7 s on the
 * Microsoft stack and 15 s on the Widcomm stack) and rebuilds the device list:
 * units found and not open (status 0), then the units open in this instance
 * (status 3). deviceType must be OSTREL_DEVICE_TYPE; reserved is not read.
 * *listStamp receives 0. 0, or -1 for a wrong handle or device type. */
OSTREL_API int OSTREL_CALL Ostrel_SearchForDevices(OstrelLibrary lib, int deviceType, int reserved, int *listStamp);

/* Takes a private copy of the device list, with each status refreshed now.
 * *numEntries and *listStamp receive the entry count and 0. Null for a wrong
 * handle or device type (outputs untouched). Close it when done. */
OSTREL_API OstrelSnapshot OSTREL_CALL Ostrel_OpenDeviceListSnapshot(OstrelLibrary lib, int deviceType, int *numEntries,
                                                                    int *listStamp);

/* Copies the name of entry n (from 0) into name (nameSize bytes, at least 1;
 * zero-filled, always terminated, cut to nameSize - 1 characters without
 * error) and its status into *status. 0, or -1 when the snapshot is not open
 * or n is out of range (nothing written). */
OSTREL_API int OSTREL_CALL Ostrel_DeviceListSnapshot_GetNthEntry(OstrelSnapshot snapshot, unsigned int n, char *name,
                                                                 int nameSize, int *status);

/* Frees a snapshot. 0, or -1 when it is not open (for example closed twice). */
OSTREL_API int OSTREL_CALL Ostrel_CloseDeviceListSnapshot(OstrelSnapshot snapshot);

/* ------------------------------------------------------------- open devices */

/* Opens the unit of that name from the last search, on the calling thread,
 * which then owns the device: connects, sends the init command, reads and
 * strictly verifies the data sheets of channels 3-7. Blocks for the link set-up
 * (about 4 s on the Widcomm stack) plus up to 2 s per data sheet. Null when the
 * handle is wrong, the name is already open, the last search did not list it,
 * the link cannot be made, or a data sheet fails; nothing is left open then. */
OSTREL_API OstrelDevice OSTREL_CALL Ostrel_Device_Open(OstrelLibrary lib, const char *name);

/* On the opening thread: stops measurements if they were started, removes the
 * device and frees it. 0, or -1 when the guard fails or the device list stays
 * busy for 500 ms (the device then stays open and usable). */
OSTREL_API int OSTREL_CALL Ostrel_Device_Close(OstrelDevice device);

/* Copies the device's name into buffer (size bytes, at least 1; always
 * terminated). 0, or -1 when the guard fails or the name is empty or was cut. */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetOpenDeviceName(OstrelDevice device, char *buffer, int size);

/* Holds the device lock across calls until Ostrel_Device_Unlock; tries for up
 * to timeoutMs (attempts about 100 ms apart). 0 when held, -1 after the
 * time-out. Calls nest: each Lock needs one Unlock. */
OSTREL_API int OSTREL_CALL Ostrel_Device_Lock(OstrelDevice device, unsigned int timeoutMs);

/* Gives back one Ostrel_Device_Lock. 0, or -1 when the guard fails.
 * Called on the opening thread without a matching Lock, it gives up that
 * thread's own claim on the device: the device's lock is then free between
 * calls, and guarded calls from any thread succeed. */
OSTREL_API int OSTREL_CALL Ostrel_Device_Unlock(OstrelDevice device);

/* -------------------------------------------------------- commands and data */
/* Guarded: the calls below hold the device lock for their whole duration and
 * return -1 (writing what each one says) when the device is not open or is
 * owned by another thread. */

/* Sends one command blob (cmd = low 8 bits) with nParams parameter bytes (at
 * most 250; params may be null for none) and does not wait. *signature, if not
 * null, receives the command's counter byte (0-255), which the unit echoes in
 * its response. Command 0x18 starts measurements, 0x19 stops them.
 * 0, -1 for refused arguments, or the link's write failure. */
OSTREL_API int OSTREL_CALL Ostrel_Device_SendCmd(OstrelDevice device, int cmd, const unsigned char *params, int nParams,
                                                 int *signature);

/* Sends a command and waits up to timeoutMs for its whole response, checking
 * that it answers this command. response may be null; *responseSize (may be
 * null) is the buffer's capacity on entry and the payload bytes stored on exit
 * (excess bytes are dropped). 0, or negative: time-out, an error reported by
 * the unit, or a response to another command. On a failed guard *responseSize
 * is set to 0. */
OSTREL_API int OSTREL_CALL Ostrel_Device_SendCmdAndGetResponse(OstrelDevice device, int cmd,
                                                               const unsigned char *params, int nParams,
                                                               unsigned char *response, int *responseSize,
                                                               unsigned int timeoutMs);

/* Waits up to timeoutMs for the next response. *cmdEcho receives the command
 * it answers, *errorFlag 1 when the unit reported an error (its payload is
 * then in response), else 0. expectedSignature (may be null: any) must match
 * the response's signature. response/responseSize as above; on a failed guard
 * *responseSize is set to 0 and *errorFlag is not written. 0 or -1. */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetNextResponse(OstrelDevice device, unsigned char *response,
                                                         int *responseSize, unsigned char *cmdEcho,
                                                         unsigned char *errorFlag, const int *expectedSignature,
                                                         unsigned int timeoutMs);

/* Discards the buffered measurements of a channel (-1: all). 0 or -1. */
OSTREL_API int OSTREL_CALL Ostrel_Device_ClearIO(OstrelDevice device, int channel);

/* Sets the measurement period (seconds, rounded to the 1 ms tick and kept
 * within 0.001-65.535 s) and waits up to timeoutMs for the unit's answer.
 * 0 or negative. */
OSTREL_API int OSTREL_CALL Ostrel_Device_SetMeasurementPeriod(OstrelDevice device, double seconds,
                                                              unsigned int timeoutMs);

/* Asks the unit for its period. Returns 0 whenever the unit was asked, with
 * *seconds = the period, or 1000000.0 when the unit did not answer in time;
 * -1 with *seconds = 1.0 when the guard fails. */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetMeasurementPeriod(OstrelDevice device, double *seconds,
                                                              unsigned int timeoutMs);

/* Constants; the handle is not examined (may be null); any thread. */
OSTREL_API double OSTREL_CALL Ostrel_Device_GetMeasurementTick(OstrelDevice device);          /* 0.001 s */
OSTREL_API double OSTREL_CALL Ostrel_Device_GetMinimumMeasurementPeriod(OstrelDevice device); /* 0.001 s */
OSTREL_API double OSTREL_CALL Ostrel_Device_GetMaximumMeasurementPeriod(OstrelDevice device); /* 65.535 s */

/* Number of buffered measurements of a channel (each channel keeps the newest
 * 40000), 0 for a channel without a buffer, -1 when the guard fails. */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetNumMeasurementsAvailable(OstrelDevice device, int channel);

/* Moves up to maxCount buffered raw measurements of a channel, oldest first,
 * into values. Returns how many were moved (0 when none), or negative. */
OSTREL_API int OSTREL_CALL Ostrel_Device_ReadRawMeasurements(OstrelDevice device, int channel, int *values,
                                                             int maxCount);

/* The channel's latest raw measurement; empties the channel's buffer. */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetLatestRawMeasurement(OstrelDevice device, int channel);

/* Raw reading to volts: raw x 2.5/32768 on ordinary channels; on channel 7,
 * when it is built from channels 1 and 2, raw x 1.25e-9 + 2.5 (its raw values
 * count steps of 5e-8 of the sensor's units, so a value g reads 2.5 V + g/40).
 * Not guarded: any thread, a few nanoseconds; 0.0 for a handle that is not an
 * open device. */
OSTREL_API double OSTREL_CALL Ostrel_Device_ConvertToVoltage(OstrelDevice device, int channel, int raw);

/* Volts to the sensor's units, with the active calibration page of the
 * channel's data sheet. Not guarded; 0.0 for a handle that is not an open
 * device or a channel outside 3-7. */
OSTREL_API double OSTREL_CALL Ostrel_Device_CalibrateData(OstrelDevice device, int channel, double volts);

/* ConvertToVoltage followed by CalibrateData. */
OSTREL_API double OSTREL_CALL Ostrel_Device_CalibrateData2(OstrelDevice device, int channel, int raw);

/* The host's sensor channels: *first = 3, *last = 7. 0, or -1 (untouched). */
OSTREL_API int OSTREL_CALL Ostrel_Device_GetChannelRange(OstrelDevice device, int *first, int *last);

/* Address range of a memory block: block -1 (the unit's memory) 0-0x5FFF,
 * blocks 1-7 (data sheets) 0-127, others 0-0. Both outputs are set to 0 first.
 * 0, or -1. */
OSTREL_API int OSTREL_CALL Ostrel_Device_NVMemBlk_GetAddrRange(OstrelDevice device, int block, int *firstAddress,
                                                               int *lastAddress);

/* Reads count bytes of a block from address into dst, waiting up to
 * timeoutMs; any count the block's range allows, the whole 24576 bytes of
 * block -1 included. A count below 0 or above 65535 (the request carries 16
 * bits) is refused with -1 before anything is sent. 0, or negative (time-out,
 * error reported by the unit, or fewer bytes than asked). */
OSTREL_API int OSTREL_CALL Ostrel_Device_NVMemBlk_Read(OstrelDevice device, int block, unsigned char *dst, int address,
                                                       int count, unsigned int timeoutMs);

/* Writes count bytes to the unit's own memory (block -1 only; any other block
 * is refused with -1 and nothing is sent), in chunks of up to 244 bytes that
 * share one deadline of timeoutMs. 0, or negative. */
OSTREL_API int OSTREL_CALL Ostrel_Device_NVMemBlk_Write(OstrelDevice device, int block, const unsigned char *src,
                                                        int address, int count, unsigned int timeoutMs);

/* ------------------------------------------------------------- data sheets */
/* Each sensor channel's 128-byte data sheet, as the library holds it. Every
 * function but ReadRecord acts on the library's copy only (nothing is written
 * to the sensor), accepts channels 3-7 only, and is guarded. Setters store the
 * low 8 or 16 bits of their value without any check and do not update the
 * checksum; getters write their outputs only on success. Text getters copy at
 * most min(field width, length - 1) characters and always terminate; a length
 * of 0 writes nothing and returns -1. */

/* Reads the channel's data sheet (channels 0-7) from the unit, verifies it
 * (strictly when strict is non-zero) and keeps it. 0; -2 when verification
 * rejects it (the previous copy stays); or the transfer's failure. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_ReadRecord(OstrelDevice device, int channel, unsigned char strict,
                                                           unsigned int timeoutMs);
/* Writing a data sheet to a sensor is not offered: always -1. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_WriteRecord(OstrelDevice device, int channel, unsigned int timeoutMs);
/* Replaces the library's copy with 128 bytes, unchecked. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_SetRecord(OstrelDevice device, int channel,
                                                          const unsigned char *record);
/* Copies the library's 128 bytes into record. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_GetRecord(OstrelDevice device, int channel, unsigned char *record);
/* The checksum the copy should carry (XOR of bytes 0-126); the copy is unchanged. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_CalculateChecksum(OstrelDevice device, int channel,
                                                                  unsigned char *checksum);

#define OSTREL_DDS_U8_FIELD(Field)                                                                                     \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Set##Field(OstrelDevice device, int channel, int value);           \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Get##Field(OstrelDevice device, int channel, unsigned char *value);
#define OSTREL_DDS_U16_FIELD(Field)                                                                                    \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Set##Field(OstrelDevice device, int channel, int value);           \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Get##Field(OstrelDevice device, int channel, unsigned short *value);
#define OSTREL_DDS_FLOAT_FIELD(Field)                                                                                  \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Set##Field(OstrelDevice device, int channel, float value);         \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Get##Field(OstrelDevice device, int channel, float *value);
#define OSTREL_DDS_TEXT_FIELD(Field)                                                                                   \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Set##Field(OstrelDevice device, int channel, const char *text);    \
    OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_Get##Field(OstrelDevice device, int channel, char *buffer,         \
                                                               unsigned short length);

OSTREL_DDS_U8_FIELD(MemMapVersion)
/* Setting SensorNumber also adjusts OperationType (unless the new number is 60
 * or 69): number 2 makes it 2, any other number turns an OperationType of 2
 * into 14. The getter writes 0 before anything else. */
OSTREL_DDS_U8_FIELD(SensorNumber)
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_SetSerialNumber(OstrelDevice device, int channel, int byte0, int byte1,
                                                                int byte2);
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_GetSerialNumber(OstrelDevice device, int channel, unsigned char *byte0,
                                                                unsigned char *byte1, unsigned char *byte2);
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_SetLotCode(OstrelDevice device, int channel, int byte0, int byte1);
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_GetLotCode(OstrelDevice device, int channel, unsigned char *byte0,
                                                           unsigned char *byte1);
OSTREL_DDS_U8_FIELD(ManufacturerID)
OSTREL_DDS_TEXT_FIELD(LongName)  /* 20 characters */
OSTREL_DDS_TEXT_FIELD(ShortName) /* 12 characters */
OSTREL_DDS_U8_FIELD(Uncertainty)
OSTREL_DDS_U8_FIELD(SignificantFigures)
OSTREL_DDS_U8_FIELD(CurrentRequirement)
OSTREL_DDS_U8_FIELD(Averaging)
OSTREL_DDS_FLOAT_FIELD(MinSamplePeriod)
OSTREL_DDS_FLOAT_FIELD(TypSamplePeriod)
OSTREL_DDS_U16_FIELD(TypNumberofSamples)
OSTREL_DDS_U16_FIELD(WarmUpTime)
OSTREL_DDS_U8_FIELD(ExperimentType)
OSTREL_DDS_U8_FIELD(OperationType)
OSTREL_DDS_U8_FIELD(CalibrationEquation)
OSTREL_DDS_FLOAT_FIELD(YminValue)
OSTREL_DDS_FLOAT_FIELD(YmaxValue)
OSTREL_DDS_U8_FIELD(Yscale)
OSTREL_DDS_U8_FIELD(HighestValidCalPageIndex)
OSTREL_DDS_U8_FIELD(ActiveCalPage)
/* Calibration page 0-2 (3 or more: -1): value = K0 + K1 x volts; K2 is carried
 * only. Units: at most 7 characters. */
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_SetCalPage(OstrelDevice device, int channel, unsigned char page,
                                                           float k0, float k1, float k2, const char *units);
OSTREL_API int OSTREL_CALL Ostrel_Device_DDSMem_GetCalPage(OstrelDevice device, int channel, unsigned char page,
                                                           float *k0, float *k1, float *k2, char *units,
                                                           unsigned short length);
/* Byte 127 as stored: never recomputed by the setters above. */
OSTREL_DDS_U8_FIELD(Checksum)

#undef OSTREL_DDS_U8_FIELD
#undef OSTREL_DDS_U16_FIELD
#undef OSTREL_DDS_FLOAT_FIELD
#undef OSTREL_DDS_TEXT_FIELD

/* ------------------------------------------------------------- diagnostics */

/* The trace threshold: messages (all of severity 10) reach the debugger output
 * (standard error on Linux) when it is at most 10. Starts at 100. lib is not
 * examined. Any thread. Return 0; the getter returns -1 (nothing stored) for a
 * null pointer. */
OSTREL_API int OSTREL_CALL Ostrel_Diags_SetDebugTraceThreshold(OstrelLibrary lib, int threshold);
OSTREL_API int OSTREL_CALL Ostrel_Diags_GetDebugTraceThreshold(OstrelLibrary lib, int *threshold);

/* Capture of the raw bytes exchanged with a device (on from the open; each
 * direction keeps the newest 10000 bytes). Switching it off keeps what was
 * captured. Guarded: 0, or -1. The getter writes 0 first. */
OSTREL_API int OSTREL_CALL Ostrel_Diags_SetIOTraceEnableFlag(OstrelDevice device, unsigned char enable);
OSTREL_API int OSTREL_CALL Ostrel_Diags_GetIOTraceEnableFlag(OstrelDevice device, unsigned char *enabled);

/* Unread captured bytes received from / sent to the unit, or -1. */
OSTREL_API int OSTREL_CALL Ostrel_Diags_GetNumInputTraceBytesAvailable(OstrelDevice device);
OSTREL_API int OSTREL_CALL Ostrel_Diags_GetNumOutputTraceBytesAvailable(OstrelDevice device);

/* Moves up to maxCount captured bytes, oldest first, into buffer; returns how
 * many (0 for a negative maxCount), or -1. */
OSTREL_API int OSTREL_CALL Ostrel_Diags_ReadInputTraceBytes(OstrelDevice device, unsigned char *buffer, int maxCount);
OSTREL_API int OSTREL_CALL Ostrel_Diags_ReadOutputTraceBytes(OstrelDevice device, unsigned char *buffer, int maxCount);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_LIB_H */
