// Diagnostics: the trace threshold, and the capture of the raw bytes exchanged
// with a device.
#include "Ostrel_lib.h"

#include "GCircularBuffer.h"
#include "GMBLCrashTestDummySource.h"
#include "GUtils.h"
#include "Ostrel_lib_interface.h"

namespace {
using CaptureRing = GCircularBuffer *GMBLBlobSource::*;

int CapturedCount(OstrelDevice handle, CaptureRing ring) {
    return Guarded(handle, [&](COstrelDevice &device) {
        GCircularBuffer *buffer = (*device.m_source).*ring;
        return buffer != nullptr ? buffer->GetCount() : -1;
    });
}

int ReadCaptured(OstrelDevice handle, CaptureRing ring, unsigned char *bytes, int maxCount) {
    if (bytes == nullptr && maxCount > 0)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        GCircularBuffer *buffer = (*device.m_source).*ring;
        if (buffer == nullptr)
            return -1;
        return maxCount > 0 ? buffer->Read(bytes, maxCount) : 0;
    });
}
} // namespace

extern "C" {

int OSTREL_CALL Ostrel_Diags_SetDebugTraceThreshold(OstrelLibrary, int threshold) {
    DebugTraceThreshold = threshold;
    return 0;
}

int OSTREL_CALL Ostrel_Diags_GetDebugTraceThreshold(OstrelLibrary, int *threshold) {
    if (threshold == nullptr)
        return -1;
    *threshold = DebugTraceThreshold;
    return 0;
}

int OSTREL_CALL Ostrel_Diags_SetIOTraceEnableFlag(OstrelDevice handle, unsigned char enable) {
    return Guarded(handle, [&](COstrelDevice &device) {
        device.m_source->m_ioTraceEnabled = enable != 0;
        return 0;
    });
}

int OSTREL_CALL Ostrel_Diags_GetIOTraceEnableFlag(OstrelDevice handle, unsigned char *enabled) {
    if (enabled == nullptr)
        return -1;
    *enabled = 0;
    return Guarded(handle, [&](COstrelDevice &device) {
        *enabled = device.m_source->m_ioTraceEnabled ? 1 : 0;
        return 0;
    });
}

int OSTREL_CALL Ostrel_Diags_GetNumInputTraceBytesAvailable(OstrelDevice handle) {
    return CapturedCount(handle, &GMBLBlobSource::m_inputTraceBuffer);
}

int OSTREL_CALL Ostrel_Diags_ReadInputTraceBytes(OstrelDevice handle, unsigned char *buffer, int maxCount) {
    return ReadCaptured(handle, &GMBLBlobSource::m_inputTraceBuffer, buffer, maxCount);
}

int OSTREL_CALL Ostrel_Diags_GetNumOutputTraceBytesAvailable(OstrelDevice handle) {
    return CapturedCount(handle, &GMBLBlobSource::m_outputTraceBuffer);
}

int OSTREL_CALL Ostrel_Diags_ReadOutputTraceBytes(OstrelDevice handle, unsigned char *buffer, int maxCount) {
    return ReadCaptured(handle, &GMBLBlobSource::m_outputTraceBuffer, buffer, maxCount);
}

} // extern "C"
