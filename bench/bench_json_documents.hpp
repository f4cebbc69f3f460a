// The documents the JSON benchmarks read and write: the three standard documents (twitter,
// citm_catalog, canada), kept gzip-compressed in the bench-data folder and decompressed
// once before timing starts, and a 1000-event batch as the library sends it.
#pragma once

#include <zlib.h>

#include <cstdio>
#include <string>

#ifndef ZEPLOG_BENCH_DATA_DIR
#define ZEPLOG_BENCH_DATA_DIR ""
#endif

namespace bench {

// The named document ("twitter", "citm_catalog", "canada"), or "" when the data folder or
// the file is missing (the benchmark then reports an error instead of a figure).
inline std::string loadStandardDocument(const char* name) {
  std::string path = std::string(ZEPLOG_BENCH_DATA_DIR) + "/" + name + ".json.gz";
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "bench: cannot open %s\n", path.c_str());
    return {};
  }
  std::string out;
  char buf[1 << 16];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  gzclose(f);
  return out;
}

inline std::string jsonText(const std::string& s) { return "\"" + s + "\""; }

// A batch as the transport writes it: an array of 1000 event objects of 15 text members,
// a body of about 120 bytes (every tenth with a quotation and a line break, every seventh
// in Korean), and "kstBulkIndex" numbering the events.
inline std::string makeBatch() {
  std::string out = "[";
  for (int i = 0; i < 1000; ++i) {
    if (i) out += ",";
    std::string body;
    if (i % 7 == 3) {
      while (body.size() < 120) body += "\xEC\x84\x9C\xEB\xB2\x84 \xEC\x97\xB0\xEA\xB2\xB0 ";
    } else {
      body = "User 4711 opened the settings screen after login; request id " +
             std::to_string(100000 + i) + " completed in 42 ms with status OK";
      if (i % 10 == 0) body += " \\\"retry\\\"\\nsecond line";
      while (body.size() < 120) body += '.';
    }
    out +=
        "{\"projectName\":\"b6e1c0de-2f4a-4c57-9d1e-7a3f5e2b9c10\",\"projectVersion\":\"3.14.2\","
        "\"logType\":\"vela2-log\",\"logSource\":\"client\",\"body\":" +
        jsonText(body) + ",\"logLevel\":\"" + (i % 3 == 0 ? "ERROR" : "INFO") +
        "\",\"sendTime\":\"" + std::to_string(1718000000000LL + i * 37) +
        "\",\"Platform\":\"Linux 6.1.0-18-amd64\",\"NetworkType\":\"Wi-Fi\","
        "\"UserID\":\"user-" +
        std::to_string(i % 17) +
        "\",\"SdkVersion\":\"2.6.9\",\"DeviceID\":\"4F3C2A10-9B8E-4D7C-A6B5-1E0F9D8C7B6A\","
        "\"SessionID\":\"A1B2C3D4-E5F6-4789-9ABC-DEF012345678\",\"logVersion\":\"2\","
        "\"kstBulkIndex\":\"" +
        std::to_string(i) + "\"}";
  }
  return out + "]";
}

// The four documents by name; each is made once.
inline const std::string& document(const char* name) {
  static const std::string twitter = loadStandardDocument("twitter");
  static const std::string citm = loadStandardDocument("citm_catalog");
  static const std::string canada = loadStandardDocument("canada");
  static const std::string batch = makeBatch();
  std::string n = name;
  if (n == "twitter") return twitter;
  if (n == "citm_catalog") return citm;
  if (n == "canada") return canada;
  return batch;
}

}  // namespace bench
