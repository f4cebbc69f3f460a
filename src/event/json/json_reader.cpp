// The JSON reader's public operations; its rules are in json_reader_grammar.cpp,
// json_reader_strings.cpp and json_reader_numbers.cpp.
#include "zeplog/json_reader.hpp"

#include <memory>

#include "event/json/json_reader_rep.hpp"

namespace zeplog {

const char* const kstkJSONDeserializerErrorDomain = "CJSONDeserializerErrorDomain";

kstCJSONDeserializer::kstCJSONDeserializer() : rep_(std::make_unique<Rep>()) {}
kstCJSONDeserializer::~kstCJSONDeserializer() = default;

std::unique_ptr<kstCJSONDeserializer> kstCJSONDeserializer::deserializer() {
  return std::make_unique<kstCJSONDeserializer>();
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readTop(v); })) return std::nullopt;
  return v;
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(std::string_view data, Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readTop(v); })) {
    return std::nullopt;
  }
  return v;
}

std::optional<json::Value> kstCJSONDeserializer::deserialize(std::nullptr_t, Error* error) {
  return deserialize(std::shared_ptr<const std::string>(), error);
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readDictionary(v); })) return nullptr;
  return v.asObject();
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(std::string_view data,
                                                                            Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readDictionary(v); })) {
    return nullptr;
  }
  return v.asObject();
}

std::shared_ptr<json::Object> kstCJSONDeserializer::deserializeAsDictionary(std::nullptr_t,
                                                                            Error* error) {
  return deserializeAsDictionary(std::shared_ptr<const std::string>(), error);
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(
    std::shared_ptr<const std::string> data, Error* error) {
  Rep::Input in{&data, data ? std::string_view(*data) : std::string_view(), !data};
  json::Value v;
  if (!rep_->run(in, error, [&] { return rep_->readArray(v); })) return nullptr;
  return v.asArray();
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(std::string_view data,
                                                                      Error* error) {
  json::Value v;
  if (!rep_->run({nullptr, data, false}, error, [&] { return rep_->readArray(v); })) {
    return nullptr;
  }
  return v.asArray();
}

std::shared_ptr<json::Array> kstCJSONDeserializer::deserializeAsArray(std::nullptr_t,
                                                                      Error* error) {
  return deserializeAsArray(std::shared_ptr<const std::string>(), error);
}

std::uint64_t kstCJSONDeserializer::scanLocation() const { return rep_->location_; }

const std::optional<json::Value>& kstCJSONDeserializer::nullObject() const {
  return rep_->nullObject_;
}

void kstCJSONDeserializer::setNullObject(std::optional<json::Value> nullObject) {
  rep_->nullObject_ = std::move(nullObject);
}

std::uint64_t kstCJSONDeserializer::options() const { return rep_->options_; }

void kstCJSONDeserializer::setOptions(std::uint64_t options) { rep_->options_ = options; }

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONData(std::string_view data,
                                                                        Error* error) {
  kstCJSONDeserializer reader;
  return reader.deserialize(data, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONData(std::nullptr_t,
                                                                        Error* error) {
  kstCJSONDeserializer reader;
  return reader.deserialize(nullptr, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONString(std::string_view text,
                                                                          Error* error) {
  return dictionaryWithJSONData(text, error);
}

std::optional<json::Value> kstCJSONDeserializer::dictionaryWithJSONString(std::nullptr_t,
                                                                          Error* error) {
  return dictionaryWithJSONData(nullptr, error);
}

}  // namespace zeplog
