// The 26 exports: one line each, calling the subsystem that owns the
// behaviour. A null record or buffer pointer is refused with status 0 rather
// than dereferenced.
#include "sadclink.h"

#include "acquisition/conversion.h"
#include "acquisition/scanning.h"
#include "connection/signon.h"
#include "converter/ad_mode.h"
#include "converter/calibration.h"
#include "converter/scan_timing.h"
#include "counters/counters.h"
#include "interface/com_handle.h"
#include "link/commands.h"

using sadc::PortHandle;

namespace {
SadcHandle ToHandle(PortHandle h) { return reinterpret_cast<SadcHandle>(h); }
PortHandle FromHandle(SadcHandle h) { return reinterpret_cast<PortHandle>(h); }
} // namespace

extern "C" {

SADC_API SadcStatus SADC_CALL SignOn(DeviceRecord* r) { return r ? sadc::SignOn(r) : 0; }
SADC_API SadcStatus SADC_CALL RemoteAvg(DeviceRecord* r) { return r ? sadc::RemoteAvg(r) : 0; }
SADC_API SadcStatus SADC_CALL FullScaleCal(DeviceRecord* r) { return r ? sadc::FullScaleCal(r) : 0; }
SADC_API SadcStatus SADC_CALL OffsetCal(DeviceRecord* r) { return r ? sadc::OffsetCal(r) : 0; }
SADC_API SadcStatus SADC_CALL SysCal(DeviceRecord* r) { return r ? sadc::SysCal(r) : 0; }
SADC_API double SADC_CALL Counts2Volts(int32_t counts, int16_t convBytes, int16_t bipolar) { return sadc::Counts2Volts(counts, convBytes, bipolar); }
SADC_API SadcStatus SADC_CALL GetDigIn(DeviceRecord* r) { return r ? sadc::GetDigIn(r) : 0; }
SADC_API SadcStatus SADC_CALL SetDigOut(int32_t value) { return sadc::SetDigOut(value); }
SADC_API SadcStatus SADC_CALL GetVer(DeviceRecord* r) { return r ? sadc::GetVer(r) : 0; }
SADC_API SadcStatus SADC_CALL GetConversion(DeviceRecord* r) { return r ? sadc::GetConversion(r) : 0; }
SADC_API SadcStatus SADC_CALL SetChanCode(DeviceRecord* r) { return r ? sadc::SetChanCode(r) : 0; }
SADC_API SadcStatus SADC_CALL StartScanning(DeviceRecord* r) { return r ? sadc::StartScanning(r) : 0; }
SADC_API SadcStatus SADC_CALL GetOneScan(DeviceRecord* r, int32_t* buf) { return (r && buf) ? sadc::GetOneScan(r, buf) : 0; }
SADC_API SadcStatus SADC_CALL StopScanning(DeviceRecord* r) { return r ? sadc::StopScanning(r) : 0; }
SADC_API void SADC_CALL Gconv(DeviceRecord* r, int32_t* buf) { if (r && buf) sadc::Gconv(r, buf); }
SADC_API void SADC_CALL RemoveFromBuffer(int32_t count, int32_t* buf) { if (buf) sadc::RemoveFromBuffer(count, buf); }
SADC_API SadcStatus SADC_CALL SetFilter(int16_t value) { return sadc::SetFilter(value); }
SADC_API SadcStatus SADC_CALL SendADMode(DeviceRecord* r) { return r ? sadc::SendADMode(r) : 0; }
SADC_API SadcStatus SADC_CALL GetCheckSum(void) { return sadc::GetCheckSum(); }
SADC_API SadcStatus SADC_CALL CloseDevice(void) { return sadc::CloseDevice(); }
SADC_API SadcStatus SADC_CALL GotoSleep(void) { return sadc::GotoSleep(); }
SADC_API SadcStatus SADC_CALL WriteCntr(DeviceRecord* r, int32_t counter, int32_t value) { return r ? sadc::WriteCntr(r, counter, value) : 0; }
SADC_API int32_t SADC_CALL FilterDelay(int16_t selection) { return sadc::FilterDelay(selection); }
SADC_API int16_t SADC_CALL CheckScanTime(DeviceRecord* r, double* maxTime, double* minTime) { return (r && maxTime && minTime) ? sadc::CheckScanTime(r, maxTime, minTime) : 0; }
SADC_API SadcHandle SADC_CALL GetComHandle(SadcHandle* out) { PortHandle h; SadcHandle v = ToHandle(sadc::GetComHandle(&h)); if (out) *out = v; return v; }
SADC_API void SADC_CALL SetComHandle(SadcHandle handle) { sadc::SetComHandle(FromHandle(handle)); }

} // extern "C"
