// The service's conversions between the store's rows and the wire's packets.

#include "umserver/service/conversion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tovra::umserver::service {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ConversionTest, WireValuesBecomeStoreValues) {
  const struct {
    dataset::Value wire;
    store::Value expected;
  } cases[] = {
      {dataset::Value{}, store::Value{}},
      {dataset::Value{std::int64_t{-7}}, store::Value{std::int64_t{-7}}},
      {dataset::Value{std::string("Bob")}, store::Value{std::string("Bob")}},
      {dataset::Value{true}, store::Value{std::int64_t{1}}},
      {dataset::Value{false}, store::Value{std::int64_t{0}}},
      {dataset::Value{3.0}, store::Value{std::int64_t{3}}},
      {dataset::Value{2.5}, store::Value{std::string("2.5")}},
      // Out of the exact range, or not a number at all: left to the store to refuse.
      {dataset::Value{1e300}, store::Value{std::string("1.0000000000000001e+300")}},
      {dataset::Value{std::numeric_limits<double>::quiet_NaN()}, store::Value{std::string("nan")}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToStoreValue(c.wire), c.expected) << c.wire.index();
  }
}

dataset::Delta LinkDelta() {
  dataset::Delta delta;
  delta.fields = {{"ID", dataset::FieldType::Int32},
                  {"NAME", dataset::FieldType::String, 40},
                  {"COMMENT_", dataset::FieldType::String, 255}};
  dataset::DeltaRow insert;
  insert.row_id = 11;
  insert.kind = dataset::UpdateKind::Insert;
  insert.new_values = {std::int64_t{5}, std::string("new"), dataset::Value{}};
  dataset::DeltaRow modify;
  modify.row_id = 12;
  modify.kind = dataset::UpdateKind::Modify;
  modify.original = {std::int64_t{1}, std::string("old"), std::string("kept")};
  modify.new_values = {std::int64_t{1}, std::string("renamed"), std::string("kept")};
  modify.changed = {false, true, false};
  dataset::DeltaRow remove;
  remove.row_id = 13;
  remove.kind = dataset::UpdateKind::Delete;
  remove.original = {std::int64_t{2}, std::string("gone"), dataset::Value{}};
  delta.rows = {insert, modify, remove};
  return delta;
}

std::vector<std::string> Names(const std::vector<store::FieldValue>& values) {
  std::vector<std::string> names;
  for (const auto& value : values) {
    names.push_back(value.field);
  }
  return names;
}

TEST(ConversionTest, DeltaRowsBecomeChangeRows) {
  const auto changes = ToChangeRows(LinkDelta());
  ASSERT_EQ(changes.size(), 3u);

  // An insert leaves empty fields to the table's defaults.
  EXPECT_EQ(changes[0].kind, store::ChangeKind::kInsert);
  EXPECT_THAT(Names(changes[0].changed), ElementsAre("ID", "NAME"));
  EXPECT_THAT(changes[0].original, IsEmpty());

  // A modification sends the row as read (for the optimistic check) and only what changed.
  EXPECT_EQ(changes[1].kind, store::ChangeKind::kModify);
  EXPECT_THAT(Names(changes[1].original), ElementsAre("ID", "NAME", "COMMENT_"));
  ASSERT_THAT(Names(changes[1].changed), ElementsAre("NAME"));
  EXPECT_EQ(changes[1].changed[0].value, store::Value{std::string("renamed")});
  EXPECT_EQ(changes[1].original[1].value, store::Value{std::string("old")});

  EXPECT_EQ(changes[2].kind, store::ChangeKind::kDelete);
  EXPECT_THAT(Names(changes[2].original), ElementsAre("ID", "NAME", "COMMENT_"));
  EXPECT_THAT(changes[2].changed, IsEmpty());
}

TEST(ConversionTest, RefusalsAndRowsNotReachedAreNamedByTheClientsRowIds) {
  const auto delta = LinkDelta();
  const struct {
    const char* what;
    store::ApplyResult result;
    std::vector<std::uint64_t> refused;
    std::vector<std::uint64_t> not_applied;
  } cases[] = {
      {"all applied", {3, {}, false}, {}, {}},
      {"no limit: every row tried", {1, {{0, "a"}, {2, "b"}}, false}, {11, 13}, {}},
      {"stopped at the first refusal", {0, {{0, "a"}}, true}, {11}, {12, 13}},
      {"stopped after an applied row", {1, {{1, "b"}}, true}, {12}, {13}},
      {"refusal on the last row", {2, {{2, "c"}}, false}, {13}, {}},
  };
  for (const auto& c : cases) {
    const auto answer = ToReconcileAnswer(c.result, delta);
    std::vector<std::uint64_t> refused;
    for (const auto& row : answer.refused) {
      refused.push_back(row.row_id);
      EXPECT_FALSE(row.reason.empty()) << c.what;
    }
    EXPECT_EQ(refused, c.refused) << c.what;
    EXPECT_EQ(answer.not_applied, c.not_applied) << c.what;
  }
}

TEST(ConversionTest, ResultSetsBecomePacketsTheClientReads) {
  store::ResultSet result;
  result.columns = {{"ID", store::FieldType::kInteger, 0, true, false, true, true, true},
                    {"USERNAME", store::FieldType::kString, 40, true, true, true, true, false},
                    {"MAX_OF_ID", store::FieldType::kInteger}};
  result.rows = {{std::int64_t{1}, std::string("alice"), std::int64_t{3}},
                 {std::int64_t{2}, std::string("bob"), store::Value{}}};

  std::size_t rows = 0;
  auto packet = dataset::DecodePacket(EncodeResultSet(result, -1, &rows));
  EXPECT_EQ(rows, 2u);
  ASSERT_EQ(packet.fields.size(), 3u);
  EXPECT_EQ(packet.fields[0].type, dataset::FieldType::Int32);
  EXPECT_EQ(packet.fields[0].provider_flags,
            dataset::kInKey | dataset::kInUpdate | dataset::kInWhere);
  EXPECT_EQ(packet.fields[1].type, dataset::FieldType::String);
  EXPECT_EQ(packet.fields[1].size, 40);
  EXPECT_TRUE(packet.fields[1].read_only);
  EXPECT_EQ(packet.fields[2].provider_flags, 0u);  // takes no part in updates
  EXPECT_EQ(packet.rows[1][1], dataset::Value{std::string("bob")});
  EXPECT_TRUE(dataset::IsNull(packet.rows[1][2]));

  // A row count asks for the first rows only; 0 for the fields alone.
  packet = dataset::DecodePacket(EncodeResultSet(result, 0, &rows));
  EXPECT_EQ(rows, 0u);
  EXPECT_EQ(packet.fields.size(), 3u);
  EXPECT_THAT(packet.rows, IsEmpty());
  EXPECT_EQ(dataset::DecodePacket(EncodeResultSet(result, 1, &rows)).rows.size(), 1u);
}

}  // namespace
}  // namespace tovra::umserver::service
