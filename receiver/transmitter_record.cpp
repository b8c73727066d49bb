#include "receiver/transmitter_record.h"

namespace kestrel {

using namespace record_layout;

void EncodeTransmitterRecord(const TransmitterRecord& r, std::uint8_t* out16) {
  out16[kIdLowAt] = r.IdLow;
  out16[kIdMidAt] = r.IdMid;
  out16[kIdHighAt] = r.IdHigh;
  PutU16(out16 + kSerialNoAt, r.SerialNo);
  out16[kStatus1At] = r.Status1;
  out16[kStatus2At] = r.Status2;
  PutF64(out16 + kLastHeardAt, r.LastHeard);
  out16[kNoTestFlagAt] = r.NoTestFlag;
}

TransmitterRecord DecodeTransmitterRecord(const std::uint8_t* in16) {
  TransmitterRecord r;
  r.IdLow = in16[kIdLowAt];
  r.IdMid = in16[kIdMidAt];
  r.IdHigh = in16[kIdHighAt];
  r.SerialNo = RecordSerialNo(in16);
  r.Status1 = in16[kStatus1At];
  r.Status2 = in16[kStatus2At];
  r.LastHeard = RecordLastHeard(in16);
  r.NoTestFlag = RecordNoTestFlag(in16);
  return r;
}

}  // namespace kestrel
