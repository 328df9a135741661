#pragma once

#include <exception>
#include <new>

#include "error.h"

namespace tindral {

/// Runs `run`, which returns a Result, and turns whatever it throws (an allocation that fails in
/// a huge folder, say) into that Result's error, so that no exception ends the process: the
/// worker logs it as the pass's error and goes on, console mode reports it and exits with 1.
template <class Run>
auto without_exceptions(Run run) -> decltype(run()) {
  try {
    return run();
  } catch (const std::bad_alloc&) {
    return Error("Out of memory");
  } catch (const std::exception& exception) {
    return Error(exception.what());
  } catch (...) {
    return Error("Unexpected failure");
  }
}

}  // namespace tindral
