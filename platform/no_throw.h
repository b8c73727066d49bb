#pragma once

#include <type_traits>
#include <utility>

namespace kestrel {

// The one boundary where an interface of this layer that promises not to throw
// (the file system, the operator log, the report-once helper) meets the standard
// library's exceptions: out of memory making a path or a line, a name no text can
// hold. Runs `body`; when it throws, the result is the empty value of its type
// (false, nullopt, an empty list, a null pointer), which each such interface
// already documents as its failure. Use it nowhere else: everywhere else an
// exception goes up to a thread loop, a tick step or a handler.
template <class Body>
auto NoThrow(Body&& body) noexcept -> std::invoke_result_t<Body&&> {
  using Result = std::invoke_result_t<Body&&>;
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    if constexpr (!std::is_void_v<Result>) return Result{};
  }
}

}  // namespace kestrel
