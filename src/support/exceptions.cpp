#include "support/exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "runtime/target_system.h"

namespace quillmark {

std::string ExceptionClassName(const std::exception& e) {
  if (auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  if (dynamic_cast<const runtime::EFileChanged*>(&e)) return "EFileChanged";
  if (dynamic_cast<const runtime::EOSError*>(&e)) return "EOSError";
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && name ? name.get() : typeid(e).name();
}

}  // namespace quillmark
