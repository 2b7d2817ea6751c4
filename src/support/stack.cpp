#include "support/stack.h"

#include <pthread.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/internal_error.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVALEN_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MORVALEN_ASAN 1
#endif

#ifdef MORVALEN_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace morvalen::support {
namespace {

constexpr std::size_t kRedZone = 64 * 1024;
constexpr std::size_t kSegmentSize = 1024 * 1024;

// Lowest usable address of the stack the thread is running on now. Zero until
// the thread's own stack has been measured.
thread_local std::uintptr_t current_stack_low = 0;

std::uintptr_t thread_stack_low() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* addr = nullptr;
  std::size_t size = 0;
  pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  // The guard page and whatever the loader placed at the bottom are covered by
  // the red zone.
  return reinterpret_cast<std::uintptr_t>(addr);
}

struct Switch {
  void (*fn)(void*);
  void* arg;
  ucontext_t caller;
#ifdef MORVALEN_ASAN
  const void* caller_bottom = nullptr;
  std::size_t caller_size = 0;
#endif
};

thread_local Switch* pending_switch = nullptr;

void trampoline() {
  Switch* s = pending_switch;
#ifdef MORVALEN_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &s->caller_bottom, &s->caller_size);
#endif
  s->fn(s->arg);
#ifdef MORVALEN_ASAN
  __sanitizer_start_switch_fiber(nullptr, s->caller_bottom, s->caller_size);
#endif
  // Returning resumes `caller` through uc_link.
}

}  // namespace

bool stack_is_low() {
  if (current_stack_low == 0) current_stack_low = thread_stack_low();
  if (current_stack_low == 0) return false;
  // The frame address is on the real stack even when a sanitizer moves locals
  // to a heap-allocated fake frame.
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here < current_stack_low + kRedZone;
}

void run_on_new_stack(void (*fn)(void*), void* arg) {
  std::unique_ptr<char[]> segment(new char[kSegmentSize]);
  Switch s{fn, arg, {}};
  ucontext_t callee;
  if (getcontext(&callee) != 0) throw InternalError("getcontext failed");
  callee.uc_stack.ss_sp = segment.get();
  callee.uc_stack.ss_size = kSegmentSize;
  callee.uc_link = &s.caller;
  makecontext(&callee, trampoline, 0);

  Switch* outer_switch = pending_switch;
  std::uintptr_t outer_low = current_stack_low;
  pending_switch = &s;
  current_stack_low = reinterpret_cast<std::uintptr_t>(segment.get());
#ifdef MORVALEN_ASAN
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, segment.get(), kSegmentSize);
#endif
  int rc = swapcontext(&s.caller, &callee);
#ifdef MORVALEN_ASAN
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
  pending_switch = outer_switch;
  current_stack_low = outer_low;
  if (rc != 0) throw InternalError("swapcontext failed");
}

}  // namespace morvalen::support
