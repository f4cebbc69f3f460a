// The context of one request to the collector and what its outcome does with the batch.
#pragma once

#include <string>

#include "zeplog/text.hpp"

namespace zeplog {

// One request's own context: the JSON text it carries and the handle id its events belong
// to. Every request gets a fresh one, so a crash upload and a batch send running at the same
// time never see each other's body or handle id. The outcome handlers below decide the
// batch's fate: an answer with status 200 ends it; any other answer, and any failure, writes
// every event of the text back to the failed-send queue.
//
// The text is not copied (a body runs to megabytes): it must outlive the delegate, as the
// body of the request the delegate stands for does.
class kstVelaHttpsDelegate {
 public:
  kstVelaHttpsDelegate(const std::string& log, std::string handleId)
      : log_(log), handleId_(std::move(handleId)) {}

  const std::string& log() const { return log_; }
  const std::string& handleId() const { return handleId_; }

  // The answer's status line and headers arrived: 200 delivers, anything else writes back.
  void didReceiveResponse(long status);
  // The request ended without an answer (refused, timed out, TLS refused, name unknown).
  void didFailWithError(const std::string& description, bool hostNotFound);
  // The answer has been read to its end.
  void connectionDidFinishLoading();

  // Writes the text's events back to the failed-send queue when writeBack is true; with
  // false only its console line is written. The events are rebuilt from the text with the
  // library's JSON reader: text values, this request's handle id, send time unchanged.
  void saveToFile(const std::string& text, bool writeBack) const;

 private:
  const std::string& log_;  // the request body: a JSON array of event objects
  std::string handleId_;    // given to every written-back event
  bool answered_ = false;   // an answer was handled; a later failure writes nothing back
};

}  // namespace zeplog
