// One line on what the benchmarks ran on: backend, processor or GPU, threads.
#pragma once

#include <string>

namespace korvex::bench {

std::string machine_description();

}  // namespace korvex::bench
