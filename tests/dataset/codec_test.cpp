#include <gtest/gtest.h>

#include <functional>

#include "dataset.pb.h"
#include "dataset/packet.h"
#include "dataset/value_text.h"
#include "test_tables.h"

namespace tovra::dataset {
namespace {

using testing::Def;
using testing::I;
using testing::S;

std::vector<FieldDef> AllTypes() {
  std::vector<FieldDef> fields = {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                                  Def("BIG", FieldType::Int64),
                                  Def("NAME", FieldType::String, 40),
                                  Def("ACTIVE", FieldType::Boolean),
                                  Def("RATE", FieldType::Float),
                                  Def("CREATED", FieldType::DateTime),
                                  Def("PICTURE", FieldType::Blob, 0, 0)};
  fields[2].required = true;
  fields[1].read_only = true;
  return fields;
}

TEST(PacketCodec, RoundTripKeepsFieldsValuesAndNulls) {
  DataPacket packet;
  packet.fields = AllTypes();
  packet.rows = {
      {I(INT32_MIN), I(INT64_MAX), S("Ärger ☃"), Value{true}, Value{-0.25},
       I(MakeDateTime(2026, 12, 11, 13, 30)), S(std::string("\0\xff\x01", 3))},
      {I(2), Value{}, S(""), Value{}, Value{}, Value{}, Value{}},
  };
  const DataPacket back = DecodePacket(EncodePacket(packet));
  EXPECT_EQ(back.fields, packet.fields);
  EXPECT_EQ(back.rows, packet.rows);
  // The empty string and null stay apart.
  EXPECT_FALSE(IsNull(back.rows[1][2]));
  EXPECT_TRUE(IsNull(back.rows[1][1]));

  // Other readers of the schema see the same packet.
  wire::DataPacket w;
  ASSERT_TRUE(w.ParseFromString(EncodePacket(packet)));
  ASSERT_EQ(w.fields_size(), 7);
  EXPECT_EQ(w.fields(2).name(), "NAME");
  EXPECT_EQ(w.fields(2).flags(), unsigned(wire::FIELD_FLAG_REQUIRED | wire::FIELD_FLAG_IN_UPDATE |
                                          wire::FIELD_FLAG_IN_WHERE));
  ASSERT_EQ(w.rows_size(), 2);
  EXPECT_EQ(w.rows(0).values(0).int_value(), INT32_MIN);
  EXPECT_EQ(w.rows(0).values(4).float_value(), -0.25);
  EXPECT_EQ(w.rows(0).values(6).bytes_value(), std::string("\0\xff\x01", 3));
  EXPECT_EQ(w.rows(1).values(1).kind_case(), wire::Value::KIND_NOT_SET);
  EXPECT_EQ(w.rows(1).values(2).kind_case(), wire::Value::kBytesValue);
}

TEST(PacketCodec, BuilderRefusesRowsThatDoNotFitTheFields) {
  PacketBuilder builder({Def("ID", FieldType::Int32), Def("NAME", FieldType::String)});
  EXPECT_THROW(builder.AddRow({I(1)}), DataSetError);
  EXPECT_THROW(builder.AddRow({S("1"), S("x")}), DataSetError);
  EXPECT_THROW(builder.AddRow({I(int64_t{1} << 40), S("x")}), DataSetError);
  EXPECT_THROW(builder.AddRow({I(1), S("\xc3")}), DataSetError);  // cut UTF-8
  builder.AddRow({I(1), Value{}});
  EXPECT_EQ(builder.row_count(), 1u);
}

TEST(DeltaCodec, RoundTripOfEveryKind) {
  Delta delta;
  delta.fields = {Def("ID", FieldType::Int32, 0, kInKey | kInWhere), Def("BEZ", FieldType::String)};
  DeltaRow insert{7, UpdateKind::Insert, {}, {I(5), S("new")}, {}};
  DeltaRow modify{8, UpdateKind::Modify, {I(1), S("old")}, {I(1), S("changed")}, {false, true}};
  DeltaRow remove{9, UpdateKind::Delete, {I(2), Value{}}, {}, {}};
  delta.rows = {insert, modify, remove};

  const Delta back = DecodeDelta(EncodeDelta(delta));
  EXPECT_EQ(back.fields, delta.fields);
  ASSERT_EQ(back.rows.size(), 3u);
  EXPECT_EQ(back.rows[0].kind, UpdateKind::Insert);
  EXPECT_EQ(back.rows[0].new_values, insert.new_values);
  EXPECT_EQ(back.rows[1].kind, UpdateKind::Modify);
  EXPECT_EQ(back.rows[1].original, modify.original);
  EXPECT_EQ(back.rows[1].changed, modify.changed);
  EXPECT_EQ(back.rows[1].NewValue(0), I(1));
  EXPECT_EQ(back.rows[1].NewValue(1), S("changed"));
  EXPECT_EQ(back.rows[2].kind, UpdateKind::Delete);
  EXPECT_EQ(back.rows[2].original, remove.original);
  EXPECT_EQ(back.rows[2].row_id, 9u);
}

TEST(ReconcileCodec, RoundTripOfAnswerAndParams) {
  ReconcileAnswer answer{{{4, "duplicate key value violates unique constraint"}}, {5, 6}};
  const ReconcileAnswer back = DecodeReconcileAnswer(EncodeReconcileAnswer(answer));
  EXPECT_EQ(back.refused, answer.refused);
  EXPECT_EQ(back.not_applied, answer.not_applied);

  std::vector<Param> params = {{"AROLE", FieldType::Int32, I(0)},
                               {"NAME", FieldType::String, Value{}}};
  EXPECT_EQ(DecodeParams(EncodeParams(params)), params);
}

// Bytes a hostile or broken peer could send, each made from a valid message by one change.
struct Malformed {
  const char* what;
  std::function<std::string()> bytes;
  const char* message_part;
};

std::string ValidPacketWith(const std::function<void(wire::DataPacket&)>& change) {
  DataPacket packet;
  packet.fields = {Def("ID", FieldType::Int32), Def("NAME", FieldType::String)};
  packet.rows = {{I(1), S("a")}};
  wire::DataPacket w;
  w.ParseFromString(EncodePacket(packet));
  change(w);
  return w.SerializeAsString();
}

std::string ValidDeltaWith(const std::function<void(wire::Delta&)>& change) {
  Delta delta;
  delta.fields = {Def("ID", FieldType::Int32)};
  delta.rows = {{1, UpdateKind::Modify, {I(1)}, {I(2)}, {true}}};
  wire::Delta w;
  w.ParseFromString(EncodeDelta(delta));
  change(w);
  return w.SerializeAsString();
}

TEST(PacketCodec, MalformedPacketsGiveAClearError) {
  const std::vector<Malformed> cases = {
      {"garbage", [] { return std::string("\xff\xff\xff\xff\x0f", 5); }, "malformed"},
      {"truncated", [] { return ValidPacketWith([](auto&) {}).substr(0, 9); }, "malformed"},
      {"short row",
       [] {
         return ValidPacketWith([](auto& w) { w.mutable_rows(0)->mutable_values()->RemoveLast(); });
       },
       "1 values for 2 fields"},
      {"text in an integer field",
       [] {
         return ValidPacketWith(
             [](auto& w) { w.mutable_rows(0)->mutable_values(0)->set_bytes_value("1"); });
       },
       "field 'ID'"},
      {"integer beyond 32 bits",
       [] {
         return ValidPacketWith([](auto& w) {
           w.mutable_rows(0)->mutable_values(0)->set_int_value(int64_t{1} << 33);
         });
       },
       "field 'ID'"},
      {"broken UTF-8",
       [] {
         return ValidPacketWith([](auto& w) {
           w.mutable_rows(0)->mutable_values(1)->set_bytes_value("\xed\xa0\x80");
         });
       },
       "not UTF-8"},
      {"twin field names",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name("id"); }); },
       "occurs twice"},
      {"unknown type",
       [] {
         return ValidPacketWith(
             [](auto& w) { w.mutable_fields(1)->set_type(wire::FieldType(99)); });
       },
       "unknown field type"},
      {"empty name",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(0)->set_name(""); }); },
       "Field 1 has an empty name"},
      // Names the dataset could not address in a list of names or in a filter.
      {"name with ';'",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name(";"); }); },
       "Field 2 has the name ';', which holds one of the characters"},
      {"name with ']'",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name("A]B"); }); },
       "'A]B', which holds one of the characters"},
      {"blank name",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name("   "); }); },
       "nothing but spaces"},
      {"name with a leading space",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name(" NAME"); }); },
       "begins or ends with a space"},
      {"name with a line feed",
       [] { return ValidPacketWith([](auto& w) { w.mutable_fields(1)->set_name("NA\nME"); }); },
       "control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      DecodePacket(c.bytes());
      ADD_FAILURE() << "accepted";
    } catch (const PacketError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

// What the decoders let through, a dataset can address: alone, in a list, in a filter.
TEST(PacketCodec, EveryAcceptedNameAddressesItsField) {
  DataPacket packet;
  packet.fields = {Def("FIRST NAME", FieldType::String), Def("Straße", FieldType::String),
                   Def("A1$", FieldType::Int32)};
  packet.rows = {{S("b"), S("x"), I(1)}, {S("a"), S("y"), I(2)}};
  ClientDataSet ds;
  ds.LoadFromPacket(DecodePacket(EncodePacket(packet)));
  EXPECT_EQ(ds.FieldByName("first name").Index(), 0);
  ds.SetIndexFieldNames(" first name ;STRAßE;a1$");
  ds.First();
  EXPECT_EQ(ds.Fields(0).AsString(), "a");
  ds.SetFilter("[First Name] = 'b' and [straße] = 'x' and a1$ = 1");
  ds.SetFiltered(true);
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(PacketCodec, EncodersRefuseNamesTheDecodersWouldRefuse) {
  EXPECT_THROW(PacketBuilder({Def("A;B", FieldType::Int32)}), DataSetError);
  EXPECT_THROW(PacketBuilder({Def("ID", FieldType::Int32), Def("id", FieldType::Int32)}),
               DataSetError);
  Delta delta;
  delta.fields = {Def(" ", FieldType::Int32)};
  EXPECT_THROW(EncodeDelta(delta), DataSetError);
  EXPECT_THROW(EncodeParams({{"[X]", FieldType::Int32, I(1)}}), DataSetError);
  EXPECT_THROW(EncodeParams({{"X", FieldType::Int32, I(1)}, {"x", FieldType::Int32, I(2)}}),
               DataSetError);
  EXPECT_NO_THROW(PacketBuilder({Def("FIRST NAME", FieldType::Int32)}));
}

TEST(PacketCodec, LimitsAreCheckedBeforeTheRowsAreBuilt) {
  DataPacket packet;
  packet.fields = {Def("ID", FieldType::Int32)};
  for (int i = 0; i < 100; ++i)
    packet.rows.push_back({I(i)});
  const std::string bytes = EncodePacket(packet);

  DecodeLimits small_bytes;
  small_bytes.max_bytes = bytes.size() - 1;
  EXPECT_THROW(DecodePacket(bytes, small_bytes), PacketError);
  DecodeLimits few_rows;
  few_rows.max_rows = 99;
  EXPECT_THROW(DecodePacket(bytes, few_rows), PacketError);
  DecodeLimits no_fields;
  no_fields.max_fields = 0;
  EXPECT_THROW(DecodePacket(bytes, no_fields), PacketError);
  EXPECT_EQ(DecodePacket(bytes).rows.size(), 100u);
}

TEST(DeltaCodec, MalformedDeltasGiveAClearError) {
  const std::vector<Malformed> cases = {
      {"change without original",
       [] { return ValidDeltaWith([](auto& w) { w.mutable_rows(0)->clear_original(); }); },
       "original and the new values"},
      {"insert with original",
       [] {
         return ValidDeltaWith(
             [](auto& w) { w.mutable_rows(0)->set_kind(wire::UPDATE_KIND_INSERT); });
       },
       "insert carries"},
      {"unknown kind",
       [] {
         return ValidDeltaWith([](auto& w) { w.mutable_rows(0)->set_kind(wire::UpdateKind(7)); });
       },
       "unknown kind"},
      {"changed field out of range",
       [] { return ValidDeltaWith([](auto& w) { w.mutable_rows(0)->add_changed(5); }); },
       "out of range"},
      {"repeated row reference",
       [] { return ValidDeltaWith([](auto& w) { *w.add_rows() = w.rows(0); }); },
       "repeats the row reference"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      DecodeDelta(c.bytes());
      ADD_FAILURE() << "accepted";
    } catch (const PacketError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
  wire::ReconcileAnswer answer;
  answer.add_refused()->set_reason("\xff");
  EXPECT_THROW(DecodeReconcileAnswer(answer.SerializeAsString()), PacketError);
}

}  // namespace
}  // namespace tovra::dataset
