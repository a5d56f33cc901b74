#include "caller_terms.h"

namespace korvex {

namespace {

const CallerTerms kMatlabTerms{};
thread_local const CallerTerms* current = &kMatlabTerms;

std::string Text(unsigned long long value) { return std::to_string(value); }

}  // namespace

CallerScope::CallerScope(const CallerTerms& terms) : previous_(current) { current = &terms; }

CallerScope::~CallerScope() { current = previous_; }

std::string Shape_Text(unsigned long long height, unsigned long long width) {
  if (current->transposed) return "(" + Text(width) + ", " + Text(height) + ")";
  return Text(height) + " x " + Text(width);
}

std::string Shape_Text(unsigned long long height, unsigned long long width,
                       unsigned long long frames) {
  if (current->transposed) {
    return "(" + Text(frames) + ", " + Text(width) + ", " + Text(height) + ")";
  }
  return Text(height) + " x " + Text(width) + " x " + Text(frames);
}

std::string Position_Text(unsigned long long row, unsigned long long column) {
  if (current->transposed) std::swap(row, column);
  const unsigned long long first = current->firstIndex;
  return "row " + Text(row + first) + ", column " + Text(column + first) + ", counted from " +
         Text(first);
}

std::string Argument(const std::string& coreName) {
  for (const auto& [core, caller] : current->names) {
    if (core == coreName) return caller;
  }
  return coreName;
}

std::string Caller_Prefix() {
  return current->function.empty() ? std::string() : current->function + ": ";
}

}  // namespace korvex
