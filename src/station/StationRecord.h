// The station's records: one row of the run database for every finished device, whatever
// front-end hosts the station.
#pragma once

#include <string>

#include "record/Bundle.h"
#include "record/RunDatabase.h"
#include "station/Station.h"

namespace orlo::station {

// The row of a finished device: its slot, port and USB identity, the bundle's manifest, every
// region of the bundle (with "not run" for those after the one that failed), NAKs and resends,
// the outcome and the sentence that ends the run ("abandoned by the operator" for one the
// operator gave up on).
record::RunRow RowOf(const FinishedDevice& device, const record::Bundle& bundle,
                     const std::string& toolVersion);

// A recorder that inserts that row into `database`; both must outlive the station.
RunRecorder DatabaseRecorder(record::RunDatabase& database, const record::Bundle& bundle,
                             std::string toolVersion);

}  // namespace orlo::station
