// The shared state of the host platform and the test-control interface over it.
#include "host_state.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "host_control.h"

namespace korvex::host::detail {

bool RangeMap::contains(const void* p, size_t bytes) const {
  const uintptr_t first = address(p);
  auto it = ranges_.upper_bound(first);
  if (it == ranges_.begin()) return false;
  --it;
  const uintptr_t offset = first - it->first;
  return offset < it->second && bytes <= it->second - offset;
}

bool RangeMap::overlaps(const void* p, size_t bytes) const {
  const uintptr_t first = address(p);
  const uintptr_t end = bytes > UINTPTR_MAX - first ? UINTPTR_MAX : first + bytes;
  // The last range starting before `end` is the only candidate: ranges do not overlap.
  auto it = ranges_.lower_bound(end == first ? first + 1 : end);
  if (it == ranges_.begin()) return false;
  --it;
  return it->first + it->second > first;
}

size_t RangeMap::total_bytes() const {
  size_t total = 0;
  for (const auto& range : ranges_) total += range.second;
  return total;
}

std::vector<void*> RangeMap::starts() const {
  std::vector<void*> result;
  result.reserve(ranges_.size());
  for (const auto& range : ranges_) result.push_back(reinterpret_cast<void*>(range.first));
  return result;
}

Config default_config() {
  Config config;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  config.total_memory = pages > 0 && page_size > 0
                            ? static_cast<size_t>(pages) * static_cast<size_t>(page_size)
                            : size_t{16} << 30;
  return config;
}

State& state() {
  // Never destroyed: engines released by static destructors may still call in at exit.
  static State* instance = [] {
    auto* s = new State;
    s->config = default_config();
    return s;
  }();
  return *instance;
}

const char* operation_name(Operation operation) {
  static constexpr const char* kNames[] = {
#define KORVEX_HOST_OPERATION_NAME(name) #name,
      KORVEX_HOST_OPERATIONS(KORVEX_HOST_OPERATION_NAME)
#undef KORVEX_HOST_OPERATION_NAME
  };
  return kNames[static_cast<unsigned>(operation)];
}

Operation operation_named(const std::string& name) {
  for (unsigned i = 0; i < kOperationCount; ++i) {
    const auto operation = static_cast<Operation>(i);
    if (name == operation_name(operation)) return operation;
  }
  throw std::invalid_argument("host platform: no operation is called \"" + name + "\"");
}

bool injected(State& s, Operation operation, int& status) {
  ++s.call_counts[static_cast<unsigned>(operation)];
  ++s.total_calls;
  if (s.log_calls) s.call_log.emplace_back(operation_name(operation));
  if (s.injections.empty()) return false;
  bool fired = false;
  for (auto it = s.injections.begin(); it != s.injections.end();) {
    if (it->operation == operation && --it->remaining == 0) {
      if (!fired) status = it->status;
      fired = true;
      it = s.injections.erase(it);
    } else {
      ++it;
    }
  }
  return fired;
}

cudaError_t device_gate(const State& s) {
  if (s.config.driver_version < s.config.runtime_version) return cudaErrorInsufficientDriver;
  if (s.config.device_count < 1) return cudaErrorNoDevice;
  return cudaSuccess;
}

uintptr_t new_handle(State& s) {
  s.next_handle += 0x10;
  return s.next_handle;
}

}  // namespace korvex::host::detail

namespace korvex::host {

using detail::State;
using detail::state;

void reset() {
  State& s = state();
  std::vector<std::shared_ptr<detail::FftPlan>> plans;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (void* p : s.device.starts()) std::free(p);
    for (void* p : s.pinned.starts()) std::free(p);
    s.device.clear();
    s.device_bytes = 0;
    s.pinned.clear();
    s.registered.clear();
    s.streams.clear();
    for (auto& plan : s.plans) plans.push_back(std::move(plan.second));
    s.plans.clear();
    s.blas_handles.clear();
    s.injections.clear();
    s.call_counts.fill(0);
    s.total_calls = 0;
    s.log_calls = false;
    s.call_log.clear();
    s.config = detail::default_config();
  }
  plans.clear();  // FFTW plans are destroyed outside the state lock
  cudaGetLastError();
}

void set_versions(int runtime, int driver) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().config.runtime_version = runtime;
  state().config.driver_version = driver;
}

void set_device_count(int count) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().config.device_count = count;
}

void set_compute_capability(int major, int minor) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().config.major = major;
  state().config.minor = minor;
}

void set_total_memory(size_t bytes) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().config.total_memory = bytes;
}

void set_kernel_images(bool available) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().config.kernel_images = available;
}

void fail_call(const std::string& operation, unsigned nth, int status) {
  if (nth == 0) throw std::invalid_argument("fail_call: calls are counted from 1");
  const detail::Operation known = detail::operation_named(operation);
  std::lock_guard<std::mutex> lock(state().mutex);
  state().injections.push_back({known, nth, status});
}

void clear_failures() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().injections.clear();
}

unsigned call_count(const std::string& operation) {
  const auto index = static_cast<unsigned>(detail::operation_named(operation));
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().call_counts[index];
}

unsigned total_call_count() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().total_calls;
}

void clear_call_counts() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().call_counts.fill(0);
  state().total_calls = 0;
  state().call_log.clear();
}

void set_call_log(bool on) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().log_calls = on;
}

std::vector<std::string> call_log() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().call_log;
}

Ledger ledger() {
  std::lock_guard<std::mutex> lock(state().mutex);
  const State& s = state();
  Ledger result;
  result.device_allocations = s.device.count();
  result.device_bytes = s.device_bytes;
  result.pinned_buffers = s.pinned.count();
  result.registered_ranges = s.registered.count();
  result.streams = s.streams.size();
  result.fft_plans = s.plans.size();
  result.blas_handles = s.blas_handles.size();
  return result;
}

}  // namespace korvex::host
