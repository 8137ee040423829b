// Small simulator objects: the API configuration and the error object.
//
// Thread-safety: as com::Object. An ErrorObject is immutable and may be shared freely.
#pragma once

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
  int32_t TimeZoneCode;  // tzEastern
  bool IncludeOrderTransactions = false;
  bool UseOrderSide = false;

  ApiConfiguration();
  // The six settings by name, in the order above.
  std::vector<std::pair<std::string, com::Variant>> Values() const;
};

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
