#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>

#include "support/small_stack.h"

namespace tindral::test_support {

namespace {

void* run_work(void* work) {
  (*static_cast<const std::function<void()>*>(work))();
  return nullptr;
}

}  // namespace

void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  const int sized = pthread_attr_setstacksize(&attributes, stack_bytes);
  pthread_t thread;
  const int created = sized == 0 ? pthread_create(&thread, &attributes, run_work,
                                                  const_cast<std::function<void()>*>(&work))
                                 : sized;
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(created, 0) << "cannot start a thread with a " << stack_bytes
                        << "-byte stack: " << std::strerror(created);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

}  // namespace tindral::test_support
