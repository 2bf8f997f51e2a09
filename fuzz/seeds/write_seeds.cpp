// Writes the seed inputs of the committed fuzz corpora: real packets, deltas, answers,
// parameter lists, filters, messages and envelopes made by the project's own encoders, so
// that the fuzzers start from inputs that reach deep into each decoder.
//
//   fuzz_seed_writer <repository root>
//
// Writes only files named seed-*; the regression inputs (crash-*) beside them are kept by
// hand. Envelopes with a cipher get a fresh IV on every run, so those seeds change when
// rewritten; every other seed comes out the same.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "dataset.pb.h"
#include "dataset/packet.h"
#include "remoting/envelope.h"
#include "remoting/message.h"

namespace {

namespace fs = std::filesystem;
namespace ds = tovra::dataset;
namespace rm = tovra::remoting;

void Write(const fs::path& dir, const std::string& name, std::string_view bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / ("seed-" + name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + (dir / name).string());
}

// The dataset fuzzer's first byte picks the decoder (see dataset_codec_fuzzer.cpp).
enum Selector : char { kPacket = 0, kDelta = 1, kAnswer = 2, kParams = 3, kFilter = 4 };

std::string With(Selector selector, std::string_view bytes) {
  return std::string(1, selector) + std::string(bytes);
}

ds::FieldDef Def(std::string name, ds::FieldType type, int size = 0, bool required = false) {
  ds::FieldDef def;
  def.name = std::move(name);
  def.type = type;
  def.size = size;
  def.required = required;
  if (def.name == "ID")
    def.provider_flags |= ds::kInKey;
  return def;
}

ds::Value I(std::int64_t v) {
  return ds::Value{v};
}
ds::Value S(std::string v) {
  return ds::Value{std::move(v)};
}

void DatasetSeeds(const fs::path& dir) {
  using ds::FieldType;
  // A provider's table as the server sends it: users with their flags.
  ds::DataPacket users;
  users.fields = {Def("ID", FieldType::Int32, 0, true),
                  Def("USERNAME", FieldType::String, 40, true), Def("NAME", FieldType::String, 40),
                  Def("COMMENT_", FieldType::String, 255), Def("Flags", FieldType::Int32, 0, true)};
  users.fields[1].read_only = true;
  users.rows = {{I(1), S("admin"), S("Administrator"), ds::Value{}, I(0)},
                {I(2), S("mueller"), S("Jörg Müller"), S("Ärger ☃"), I(1)},
                {I(3), S("ivanov"), S("Иван Иванов"), S(""), I(0)}};
  Write(dir, "packet-users", With(kPacket, ds::EncodePacket(users)));

  // Every field type, extreme values, nulls.
  ds::DataPacket all;
  all.fields = {Def("ID", FieldType::Int32),        Def("BIG", FieldType::Int64),
                Def("NAME", FieldType::String, 40), Def("ACTIVE", FieldType::Boolean),
                Def("RATE", FieldType::Float),      Def("CREATED", FieldType::DateTime),
                Def("PICTURE", FieldType::Blob)};
  all.rows = {
      {I(INT32_MIN), I(INT64_MAX), S("x"), ds::Value{true}, ds::Value{-0.25}, I(1'765'459'800'000),
       S(std::string("\0\xff\x01", 3))},
      {I(INT32_MAX), I(INT64_MIN), ds::Value{}, ds::Value{false}, ds::Value{1e308}, I(-1),
       ds::Value{}},
      {ds::Value{}, ds::Value{}, ds::Value{}, ds::Value{}, ds::Value{}, ds::Value{}, ds::Value{}}};
  Write(dir, "packet-all-types", With(kPacket, ds::EncodePacket(all)));

  // Names as databases allow them: spaces inside, letters beyond ASCII, digits, '$'.
  ds::DataPacket names;
  names.fields = {Def("FIRST NAME", FieldType::String), Def("Straße", FieldType::String),
                  Def("A1$", FieldType::Int64)};
  names.rows = {{S("a"), S("b"), I(7)}};
  Write(dir, "packet-names", With(kPacket, ds::EncodePacket(names)));

  ds::DataPacket header_only;
  header_only.fields = {Def("ID", FieldType::Int32), Def("BEZ", FieldType::String, 40)};
  Write(dir, "packet-no-rows", With(kPacket, ds::EncodePacket(header_only)));
  Write(dir, "packet-empty", With(kPacket, ""));

  // The field definitions may follow the rows on the wire.
  {
    ds::wire::DataPacket w;
    w.ParseFromString(ds::EncodePacket(header_only));
    ds::wire::DataPacket rows_first;
    auto* row = rows_first.add_rows();
    row->add_values()->set_int_value(5);
    row->add_values()->set_bytes_value("Reader");
    std::string bytes = rows_first.SerializeAsString();
    ds::wire::DataPacket fields_only;
    *fields_only.mutable_fields() = w.fields();
    bytes += fields_only.SerializeAsString();
    Write(dir, "packet-rows-before-fields", With(kPacket, bytes));
  }

  ds::Delta delta;
  delta.fields = {Def("ID", FieldType::Int32), Def("BEZ", FieldType::String, 40)};
  delta.rows = {{7, ds::UpdateKind::Insert, {}, {I(5), S("new")}, {}},
                {8, ds::UpdateKind::Modify, {I(1), S("old")}, {I(1), S("changed")}, {false, true}},
                {9, ds::UpdateKind::Delete, {I(2), ds::Value{}}, {}, {}}};
  Write(dir, "delta", With(kDelta, ds::EncodeDelta(delta)));

  ds::ReconcileAnswer answer{{{8, "duplicate key value violates unique constraint"}}, {9}};
  Write(dir, "answer", With(kAnswer, ds::EncodeReconcileAnswer(answer)));
  Write(dir, "answer-empty", With(kAnswer, ""));

  std::vector<ds::Param> params = {{"AROLE", FieldType::Int32, I(3)},
                                   {"NAME", FieldType::String, ds::Value{}},
                                   {"RATE", FieldType::Float, ds::Value{0.5}}};
  Write(dir, "params", With(kParams, ds::EncodeParams(params)));

  Write(dir, "filter-and", With(kFilter, "ID > 1 AND NAME = 'a'"));
  Write(dir, "filter-not-or", With(kFilter, "NOT (RATE <= 0.5) OR [NAME] <> 'it''s'"));
  Write(dir, "filter-nested", With(kFilter, "((id = -3) or (rate >= 1.25)) and not name != 'x'"));
}

rm::Call SampleCall() {
  rm::Call call;
  call.client_id = "6f1c1a5e-3b7d-4e0a-9a57-2f9b1c8d4e21";
  call.request_number = 7;
  call.library = "KWVUMServerLib";
  call.interface_name = "rodmKWVUMServer";
  call.operation = "AS_GetRecords";
  call.values = {{"ProviderName", std::string("dspUser")},
                 {"Count", std::int32_t{-1}},
                 {"Big", std::int64_t{1} << 40},
                 {"Flag", true},
                 {"Rate", 0.25},
                 {"Params", rm::Bytes{0x0A, 0x03, 'a', 0x00, 0xFF}}};
  return call;
}

rm::Answer SampleAnswer() {
  rm::Answer answer;
  answer.client_id = "6f1c1a5e-3b7d-4e0a-9a57-2f9b1c8d4e21";
  answer.request_number = 7;
  answer.values = {{"Result", std::string("Grüße & =?")}, {"RecsOut", std::int32_t{3}}};
  return answer;
}

rm::Answer SampleFault() {
  rm::Answer fault = SampleAnswer();
  fault.values.clear();
  fault.fault = "Access denied";
  return fault;
}

std::string Text(const rm::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

void MessageSeeds(const fs::path& dir, rm::MessageKind kind) {
  const rm::Message& codec = rm::CodecFor(kind);
  Write(dir, "call", Text(codec.EncodeCall(SampleCall())));
  rm::Call empty = SampleCall();
  empty.values.clear();
  Write(dir, "call-no-values", Text(codec.EncodeCall(empty)));
  Write(dir, "answer", Text(codec.EncodeAnswer(SampleAnswer())));
  Write(dir, "fault", Text(codec.EncodeAnswer(SampleFault())));
}

void EnvelopeSeeds(const fs::path& dir) {
  const rm::Bytes bin = rm::CodecFor(rm::MessageKind::kBin).EncodeCall(SampleCall());
  const rm::Bytes post = rm::CodecFor(rm::MessageKind::kPost).EncodeCall(SampleCall());
  for (const rm::Cipher cipher : rm::kAllCiphers) {
    for (const bool compressed : {false, true}) {
      rm::EnvelopeSettings settings;
      settings.cipher = cipher;
      settings.compressed = compressed;
      const std::string name = std::string(rm::CipherName(cipher)) + (compressed ? "-deflate" : "");
      // The cipher-less ones in both kinds; the ciphers with BIN, the kind clients use most.
      if (cipher == rm::Cipher::kNone) {
        settings.kind = rm::MessageKind::kPost;
        Write(dir, "post-" + name, Text(rm::Seal(post, settings)));
      }
      settings.kind = rm::MessageKind::kBin;
      Write(dir, "bin-" + name, Text(rm::Seal(bin, settings)));
    }
  }
  rm::EnvelopeSettings plain;
  Write(dir, "empty-payload", Text(rm::Seal({}, plain)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seed_writer <repository root>\n";
    return 2;
  }
  const fs::path fuzz = fs::path(argv[1]) / "fuzz";
  try {
    DatasetSeeds(fuzz / "dataset" / "corpus");
    EnvelopeSeeds(fuzz / "remoting" / "corpus" / "envelope");
    MessageSeeds(fuzz / "remoting" / "corpus" / "bin_message", rm::MessageKind::kBin);
    MessageSeeds(fuzz / "remoting" / "corpus" / "post_message", rm::MessageKind::kPost);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
