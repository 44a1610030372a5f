#pragma once

#include <exception>
#include <string>

// The toolkit's exception class: anything else that is thrown is shown as an
// Exception with an empty message.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
