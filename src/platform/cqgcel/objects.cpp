#include "platform/cqgcel/objects.h"

#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Members;

ApiConfiguration::ApiConfiguration()
    : TimeZoneCode(Constant("tzEastern")), time_zone_code_(TimeZoneCode) {}

const Members<ApiConfiguration>& ApiConfiguration::Table() {
  using C = ApiConfiguration;
  static const auto table =
      Members<C>("APIConfiguration")
          .Field("CollectionsThrowException", &C::CollectionsThrowException)
          .Field("NewInstrumentChangeMode", &C::NewInstrumentChangeMode)
          .Field("ReadyStatusCheck", &C::ReadyStatusCheck)
          .Property(
              "TimeZoneCode", [](C& c) { return com::Variant(c.TimeZoneCode); },
              [](C& c, const com::Variant& v) {
                c.TimeZoneCode = v.ToInt32();
                c.time_zone_code_.store(c.TimeZoneCode, std::memory_order_relaxed);
              })
          .Field("IncludeOrderTransactions", &C::IncludeOrderTransactions)
          .Field("UseOrderSide", &C::UseOrderSide);
  return table;
}

std::vector<std::pair<std::string, com::Variant>> ApiConfiguration::Values() const {
  return {{"CollectionsThrowException", CollectionsThrowException},
          {"NewInstrumentChangeMode", NewInstrumentChangeMode},
          {"ReadyStatusCheck", ReadyStatusCheck},
          {"TimeZoneCode", TimeZoneCode},
          {"IncludeOrderTransactions", IncludeOrderTransactions},
          {"UseOrderSide", UseOrderSide}};
}

const Members<ErrorObject>& ErrorObject::Table() {
  static const auto table = Members<ErrorObject>("CQGError")
                                .Field("Code", &ErrorObject::code_, false)
                                .Field("Description", &ErrorObject::description_, false);
  return table;
}

std::string ZoneNameOf(int32_t time_zone_code) {
  static const std::pair<const char*, const char*> kZones[] = {{"tzCentral", "America/Chicago"},
                                                               {"tzEastern", "America/New_York"},
                                                               {"tzPacific", "America/Los_Angeles"},
                                                               {"tzGreenwich", "Europe/London"},
                                                               {"tzHongKong", "Asia/Hong_Kong"},
                                                               {"tzChina", "Asia/Shanghai"},
                                                               {"tzJapan", "Asia/Tokyo"}};
  for (const auto& [code, zone] : kZones) {
    if (Constant(code) == time_zone_code) return zone;
  }
  return "";
}

std::string ServerZoneName() {
  auto sim = Control::Instance().Live();
  return ZoneNameOf(sim ? sim->configuration()->time_zone_code() : Constant("tzChina"));
}

com::DispatchPtr MakeError(int32_t code, std::string description) {
  return std::make_shared<ErrorObject>(code, std::move(description));
}

}  // namespace mx::cqgcel
