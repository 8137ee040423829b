#include "platform/cqgcel/objects.h"

#include "platform/cqgcel/cel_library.h"

namespace mx::cqgcel {

using com::Members;

ApiConfiguration::ApiConfiguration() : TimeZoneCode(Constant("tzEastern")) {}

const Members<ApiConfiguration>& ApiConfiguration::Table() {
  using C = ApiConfiguration;
  static const auto table = Members<C>("APIConfiguration")
                                .Field("CollectionsThrowException", &C::CollectionsThrowException)
                                .Field("NewInstrumentChangeMode", &C::NewInstrumentChangeMode)
                                .Field("ReadyStatusCheck", &C::ReadyStatusCheck)
                                .Field("TimeZoneCode", &C::TimeZoneCode)
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

com::DispatchPtr MakeError(int32_t code, std::string description) {
  return std::make_shared<ErrorObject>(code, std::move(description));
}

}  // namespace mx::cqgcel
