// A scripted transport for the driver-protocol tests: records every request
// and answers with what the test queued (or an error).
#pragma once

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/transport.h"

namespace tarsio::testing {

struct SeenRequest {
  uint32_t code;
  std::vector<uint8_t> in;
  uint32_t out_len;
  bool has_out;
};

struct Answer {
  int error = 0;               // errno value to fail with, 0 for success
  std::vector<uint8_t> bytes;  // reply bytes (may be shorter than asked)
};

class FakeTransport final : public platform::Transport {
 public:
  int control(tarsio_ioreq& req) override {
    SeenRequest seen{req.code, {}, req.out_len, req.out_ptr != 0};
    if (req.in_len > 0) {
      const auto* in = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(req.in_ptr));
      seen.in.assign(in, in + req.in_len);
    }
    requests.push_back(seen);
    Answer answer;
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    } else {
      answer.bytes.assign(req.out_len, 0);
    }
    req.bytes_returned = 0;
    if (answer.error != 0) return answer.error;
    const std::size_t n = std::min<std::size_t>(answer.bytes.size(), req.out_len);
    if (n > 0) std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(req.out_ptr)), answer.bytes.data(), n);
    req.bytes_returned = static_cast<uint32_t>(n);
    return 0;
  }
  const std::string& path() const override { return path_; }

  std::vector<SeenRequest> requests;
  std::deque<Answer> answers;

 private:
  std::string path_ = "fake";
};

}  // namespace tarsio::testing
