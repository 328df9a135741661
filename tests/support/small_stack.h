#pragma once

#include <cstddef>
#include <functional>

namespace tindral::test_support {

/// Runs `work` on a new thread whose stack is only `stack_bytes` large and waits for it to end,
/// so that a test shows that code does not use stack in proportion to its input: code that
/// recursed once per level of a deep input would overflow such a stack and crash the test.
void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& work);

}  // namespace tindral::test_support
