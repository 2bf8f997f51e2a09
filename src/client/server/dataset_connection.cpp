#include "client/server/dataset_connection.h"

#include <stdexcept>

#include "client/server/kwvum_server_intf.h"

namespace tovra::client::server {

namespace {

remoting::Bytes ToBytes(std::string_view text) {
  return remoting::Bytes(text.begin(), text.end());
}

std::string ToText(const remoting::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

DatasetConnection::DatasetConnection(remoting::Message* message, remoting::ClientChannel* channel)
    : library_name_(contract::kLibraryName), message_(message), channel_(channel) {}

DatasetConnection::~DatasetConnection() = default;

void DatasetConnection::SetServerName(std::string name) {
  if (Connected()) {
    throw std::logic_error("Disconnect the dataset connection before renaming its server.");
  }
  server_name_ = std::move(name);
}

void DatasetConnection::SetChannel(remoting::ClientChannel* channel) {
  if (Connected()) {
    throw std::logic_error("Disconnect the dataset connection before replacing its channel.");
  }
  channel_ = channel;
}

void DatasetConnection::SetMessage(remoting::Message* message) {
  if (Connected()) {
    throw std::logic_error("Disconnect the dataset connection before replacing its message.");
  }
  message_ = message;
}

void DatasetConnection::Connect() {
  if (Connected()) {
    return;
  }
  if (channel_ == nullptr) {
    throw std::runtime_error(
        "The dataset connection has no channel: the connection profile names no protocol "
        "this program serves.");
  }
  if (message_ == nullptr) {
    throw std::runtime_error(
        "The dataset connection has no message: the connection profile names no message "
        "kind this program serves.");
  }
  provider_ =
      std::make_unique<remoting::AppServerProxy>(*message_, *channel_, library_name_, server_name_);
}

void DatasetConnection::Disconnect() {
  provider_.reset();
}

remoting::AppServerProxy& DatasetConnection::Provider() {
  Connect();
  return *provider_;
}

std::string DatasetConnection::GetRecords(const std::string& provider_name,
                                          const std::vector<dataset::Param>& params) {
  // All rows at once (-1), no options, no command text: the providers own their queries.
  auto answer = Provider().AS_GetRecords(provider_name, -1, 0, std::string(),
                                         ToBytes(dataset::EncodeParams(params)), {});
  return ToText(answer.result);
}

DatasetConnection::ApplyResult DatasetConnection::ApplyUpdates(const std::string& provider_name,
                                                               const std::string& delta,
                                                               int max_errors) {
  auto answer = Provider().AS_ApplyUpdates(provider_name, ToBytes(delta), max_errors, {});
  return ApplyResult{answer.error_count, ToText(answer.result)};
}

std::vector<dataset::Param> DatasetConnection::GetParams(const std::string& provider_name) {
  auto answer = Provider().AS_GetParams(provider_name, {});
  const std::string bytes = ToText(answer.result);
  // A provider without parameters may answer with nothing at all.
  if (bytes.empty()) {
    return {};
  }
  return dataset::DecodeParams(bytes);
}

std::vector<std::string> DatasetConnection::GetProviderNames() {
  return Provider().AS_GetProviderNames();
}

}  // namespace tovra::client::server
