// Exception classes of the library, named so that log entries can say which.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace quillmark {

// Base of the library's own exceptions; carries its class name for the log.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* ClassName() const { return "Exception"; }
};

// A virtual operation without a body in the class it was called on.
class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
  const char* ClassName() const override { return "EAbstractError"; }
};

// A look-up of a key that a map does not hold.
class EListError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EListError"; }
};

// A file to analyse that exists under none of its names; the message is the
// host's MSG_FILE_NOT_FOUND text.
class EFileNotFound : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EFileNotFound"; }
};

// Class name of any exception: ours by name, others by their demangled type.
std::string ExceptionClassName(const std::exception& e);

}  // namespace quillmark
