// Fills a DataSheetView from the library's copy of a channel's data sheet,
// one accessor per field.
#pragma once

#include "DataSheetView.h"
#include "Failure.h"

#include "Ostrel_lib.h"

namespace ostrel_tool {

// Channels 3-7. The first accessor that fails names itself in the failure.
Outcome ReadDataSheet(OstrelDevice device, int channel, DataSheetView &sheet);

} // namespace ostrel_tool
