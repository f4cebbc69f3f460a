// What the development collector reads out of request bodies, and the text it prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "dev_collector.hpp"

namespace zeplog::tools::detail {

using ordered_json = nlohmann::ordered_json;

// Wall-clock milliseconds since the epoch.
std::int64_t nowMs();
// "HH:MM:SS.mmm" (UTC) of a time in milliseconds.
std::string clockText(std::int64_t ms);
// A whole file; none when it cannot be read.
std::optional<std::string> readFile(const std::string& path);
// The event objects of a body, each as its JSON text; none unless the body is a JSON array
// whose elements are all objects.
std::optional<std::vector<std::string>> eventObjects(const std::string& body);
// The project named by the first event of a body, for the arrival line.
std::string projectOf(const std::vector<std::string>& objects);
// A table cell: on one line, at most n bytes.
std::string cut(std::string s, std::size_t n);
// An OTLP AnyValue as the collector keeps it: a string as it is, anything else as its JSON.
std::string anyValueText(const ordered_json& v);
// A KeyValue list as one JSON object of key to value; none when it is not a list of KeyValues.
std::optional<std::string> attributeObject(const ordered_json& list);
// The member of an object, or null.
ordered_json memberOf(const ordered_json& o, const char* key);
// The log records of an ExportLogsServiceRequest (JSON encoding), flattened; none when the
// body is not one.
std::optional<std::vector<StoredLogRecord>> otlpRecords(const std::string& body);

}  // namespace zeplog::tools::detail
