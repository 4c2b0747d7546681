// The one result type of the libraries' operations that can fail: success, or a failure with
// its message, one line that says what failed and why ("board.toml: code.t: must be a whole
// number of at least 1"). [[nodiscard]], so that no caller drops a failure unseen.
#pragma once

#include <string>   // std::string
#include <utility>  // std::move

struct [[nodiscard]] status {
  // Empty exactly when the operation succeeded; otherwise one line without a newline.
  std::string message;

  bool ok() const { return message.empty(); }

  static status success() { return {}; }
  // A failure. An empty `why` still fails, as "failed".
  static status error(std::string why) {
    return {why.empty() ? std::string("failed") : std::move(why)};
  }
};
