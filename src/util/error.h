#pragma once
// The one error type of the program's own components and of the platform
// layer: a domain ("Vantor.ScreenRecorder", "Vantor.Audio", "Vantor.Mux", or a
// platform's own), an integer code and a human-readable description.
// Thrown by components; the controller words its messages around description().

#include <exception>
#include <string>

namespace vantor {

class Error : public std::exception {
 public:
  Error(std::string domain, int code, std::string description)
      : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  int code_;
  std::string description_;
};

// The description of whatever a component threw.
std::string describe(const std::exception_ptr& failure);

}  // namespace vantor
