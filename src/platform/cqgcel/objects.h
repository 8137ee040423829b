// Small simulator objects: the API configuration and the error object.
//
// Thread-safety: as com::Object. An ErrorObject is immutable and may be shared freely.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

// CQGCEL.APIConfiguration: six settings that a host writes before Startup. The initial
// values differ from what the COM host writes, so a test can tell each write happened.
class ApiConfiguration : public SimObject<ApiConfiguration> {
 public:
  static const com::Members<ApiConfiguration>& Table();

  bool CollectionsThrowException = true;
  bool NewInstrumentChangeMode = false;
  int32_t ReadyStatusCheck = 1;
  int32_t TimeZoneCode;  // tzEastern; home thread (written through the member table)
  bool IncludeOrderTransactions = false;
  bool UseOrderSide = false;

  ApiConfiguration();
  // The six settings by name, in the order above.
  std::vector<std::pair<std::string, com::Variant>> Values() const;
  // TimeZoneCode as last written, for any thread (the zone the simulator's DATEs are in).
  int32_t time_zone_code() const { return time_zone_code_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> time_zone_code_;
};

// The IANA zone of a time-zone code (tzChina: "Asia/Shanghai", ...); "" for an unknown one.
std::string ZoneNameOf(int32_t time_zone_code);

// The zone the DATEs of the live simulator are wall time in: the zone its TimeZoneCode
// names, or, with no simulator live, the zone of tzChina (what the COM host configures).
std::string ServerZoneName();

// The error object of a request: Code and Description.
class ErrorObject : public SimObject<ErrorObject> {
 public:
  static const com::Members<ErrorObject>& Table();
  ErrorObject(int32_t code, std::string description)
      : code_(code), description_(std::move(description)) {}

 private:
  int32_t code_;
  std::string description_;
};

com::DispatchPtr MakeError(int32_t code, std::string description);

}  // namespace mx::cqgcel
