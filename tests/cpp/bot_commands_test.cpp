// Helpers of the chat commands: time stamps, the /orders argument list, counts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "plugins/telegram/chat_commands.h"

using namespace mx::bot;

namespace {

std::chrono::system_clock::time_point utc(std::time_t seconds, long micros) {
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::microseconds(micros);
}

TEST(TimeStamp, MicrosecondsShownUnlessZero) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(format_time_stamp(utc(1767323045, 0)), "2026-01-02 03:04:05");
  EXPECT_EQ(format_time_stamp(utc(1767323045, 7)), "2026-01-02 03:04:05.000007");
  EXPECT_EQ(format_time_stamp(utc(1767323045, 999999)), "2026-01-02 03:04:05.999999");
}

TEST(ArgumentList, WrittenAsPythonWritesAListOfTexts) {
  EXPECT_EQ(argument_list({}), "[]");
  EXPECT_EQ(argument_list({"5", "-a"}), "['5', '-a']");
  EXPECT_EQ(argument_list({"it's"}), "[\"it's\"]");
  EXPECT_EQ(argument_list({"a'b\"c", "x\\y"}), "['a\\'b\"c', 'x\\\\y']");
}

TEST(ParseCount, SignedDecimalIntegersThatFit) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"5", 5},
      {"+5", 5},
      {"-3", -3},
      {"0", 0},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"x", std::nullopt},
      {"1.5", std::nullopt},
      {"-a", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_count(c.text), c.value) << c.text;
}

TEST(CommandSummary, ListsTheTenCommands) {
  std::string summary(kCommandSummary);
  EXPECT_EQ(
      summary.rfind("\n    <Morvex-Trader TelegramBot> Available commands:\"\n    1. /stop\n", 0),
      0u);
  EXPECT_TRUE(summary.ends_with("    10. /help\n    "));
}

}  // namespace
