// Messages in the caller's terms.
//
// The core describes images as MATLAB does: column-major H x W x F, positions counted from 1,
// the MATLAB option names. A front end whose arrays or names differ sets its terms for the
// calls it makes into the core (CallerScope, per thread); the core writes every shape,
// position and argument name of a message through the functions below, so that numpy's
// C-ordered (F, H, W) arrays, indices counted from 0 and Python's names come out right.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korvex {

struct CallerTerms {
  // The caller's arrays are C-ordered (F, H, W): the core's height is the caller's width.
  bool transposed = false;
  unsigned firstIndex = 1;
  // The function the caller called, written before the estimator's messages ("" for none).
  std::string function;
  // The core's argument names and the caller's, where they differ.
  std::vector<std::pair<std::string, std::string>> names;
};

// Sets the terms of the calling thread for its lifetime, then restores the previous ones.
class CallerScope {
 public:
  explicit CallerScope(const CallerTerms& terms);
  ~CallerScope();
  CallerScope(const CallerScope&) = delete;
  CallerScope& operator=(const CallerScope&) = delete;

 private:
  const CallerTerms* previous_;
};

// An image of the core's `height` x `width`: "64 x 48" or "(48, 64)".
std::string Shape_Text(unsigned long long height, unsigned long long width);
// A stack: "64 x 48 x 9" or "(9, 48, 64)".
std::string Shape_Text(unsigned long long height, unsigned long long width,
                       unsigned long long frames);
// The core's zero-based (row, column): "row 33, column 25, counted from 1" or
// "row 24, column 32, counted from 0".
std::string Position_Text(unsigned long long row, unsigned long long column);
// An argument's name in the caller's terms.
std::string Argument(const std::string& coreName);
// "function: " for the caller's function, or "" when it names none.
std::string Caller_Prefix();

}  // namespace korvex
