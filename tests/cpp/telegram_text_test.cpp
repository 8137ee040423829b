// Text splitting, white-space words and command recognition.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/telegram/command.h"
#include "platform/telegram/text.h"

using namespace mx::telegram;

namespace {

std::string join(const std::vector<std::string>& pieces, const std::string& with) {
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) out += (i ? with : "") + pieces[i];
  return out;
}

TEST(Utf16Length, CountsAsTheServiceDoes) {
  EXPECT_EQ(utf16_length("abc"), 3u);
  EXPECT_EQ(utf16_length("\xC3\xA9"), 1u);          // é: two bytes, one unit
  EXPECT_EQ(utf16_length("\xE2\x82\xAC"), 1u);      // €: three bytes, one unit
  EXPECT_EQ(utf16_length("\xF0\x9F\x98\x80"), 2u);  // emoji: four bytes, a surrogate pair
  EXPECT_EQ(utf16_length("\xFF\xC3"), 2u);          // invalid bytes count one each
  EXPECT_EQ(byte_offset_of_utf16("/x\xF0\x9F\x98\x80y", 4), 6u);
}

struct SplitCase {
  const char* label;
  std::string text;
  size_t limit;
  std::vector<std::string> expected;
};

TEST(SplitMessage, CutsAtLineEndsAndNeverInsideACharacter) {
  const std::string e = "\xC3\xA9";              // 1 unit, 2 bytes
  const std::string smile = "\xF0\x9F\x98\x80";  // 2 units, 4 bytes
  const SplitCase cases[] = {
      {"within limit", "ab\ncd", 5, {"ab\ncd"}},
      {"empty", "", 5, {""}},
      {"at line end", "abc\ndef\nghi", 8, {"abc\ndef", "ghi"}},
      {"break just past limit", "abcd\nefgh", 4, {"abcd", "efgh"}},
      {"long line cut", "abcdefghij", 4, {"abcd", "efgh", "ij"}},
      {"multibyte not cut", e + e + e + e + e, 2, {e + e, e + e, e}},
      {"surrogate pair not cut", "a" + smile + "b", 2, {"a", smile, "b"}},
      {"leading newline", "\nabcdef", 3, {"\nab", "cde", "f"}},
  };
  for (const auto& c : cases) {
    auto pieces = split_message(c.text, c.limit);
    EXPECT_EQ(pieces, c.expected) << c.label;
    for (const auto& piece : pieces) EXPECT_LE(utf16_length(piece), c.limit) << c.label;
  }
}

TEST(SplitMessage, LongReportArrivesWholeInPiecesUnderTheLimit) {
  std::string report;
  for (int i = 0; i < 900; ++i) report += "order " + std::to_string(i) + " \xE2\x82\xAC filled\n";
  auto pieces = split_message(report);
  ASSERT_GT(pieces.size(), 1u);
  for (const auto& piece : pieces) EXPECT_LE(utf16_length(piece), kMaxMessageUnits);
  EXPECT_EQ(join(pieces, "\n"), report);
}

TEST(SplitWords, MatchesPythonWhiteSpace) {
  EXPECT_EQ(split_words("  /orders \t-a\n5  "), (std::vector<std::string>{"/orders", "-a", "5"}));
  EXPECT_EQ(split_words("a\xC2\xA0"
                        "b\xE3\x80\x80"
                        "c"),
            (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(split_words(" \n ").empty());
}

Message text_message(std::string text, std::vector<MessageEntity> entities) {
  Message m;
  m.chat_id = 1;
  m.text = std::move(text);
  m.entities = std::move(entities);
  return m;
}

struct CommandCase {
  const char* label;
  Message message;
  bool is_command;
  std::string name;
  std::string addressee;
  std::vector<std::string> args;
};

TEST(ParseCommand, ReadsNameAddresseeAndArguments) {
  const CommandCase cases[] = {
      {"plain",
       text_message("/orders -a 5", {{"bot_command", 0, 7}}),
       true,
       "orders",
       "",
       {"-a", "5"}},
      {"addressed",
       text_message("/Deals@MxBot 3", {{"bot_command", 0, 12}}),
       true,
       "deals",
       "MxBot",
       {"3"}},
      {"no args", text_message("/help", {{"bot_command", 0, 5}}), true, "help", "", {}},
      {"newline args",
       text_message("/send_order\na,b", {{"bot_command", 0, 11}}),
       true,
       "send_order",
       "",
       {"a,b"}},
      {"not at offset 0", text_message("hi /orders", {{"bot_command", 3, 7}}), false, "", "", {}},
      {"first entity not a command",
       text_message("@x /orders", {{"mention", 0, 2}, {"bot_command", 3, 7}}),
       false,
       "",
       "",
       {}},
      {"no entities", text_message("/orders", {}), false, "", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_command(c.message), c.is_command) << c.label;
    auto call = parse_command(c.message);
    ASSERT_EQ(call.has_value(), c.is_command) << c.label;
    if (!call) continue;
    EXPECT_EQ(call->name, c.name) << c.label;
    EXPECT_EQ(call->addressee, c.addressee) << c.label;
    EXPECT_EQ(call->args, c.args) << c.label;
  }
}

TEST(ParseCommand, AddresseeComparedWithoutCase) {
  CommandCall call{"orders", "mxbot", {}};
  EXPECT_TRUE(addressed_to(call, "MxBot"));
  EXPECT_FALSE(addressed_to(call, "OtherBot"));
  EXPECT_TRUE(addressed_to(CommandCall{"orders", "", {}}, "MxBot"));
}

}  // namespace
