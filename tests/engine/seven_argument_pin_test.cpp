// KorvexCUDA's seven-argument call pinned bit for bit: the hashes of its results on fixed
// problems, recorded with the host backend. Plans are made without measurement (and without
// stored wisdom) so that every process transforms the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine_run.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

// Before the first plan of the process: the planner reads its setting once.
const bool kPlannerSet = [] {
  setenv("KORVEX_FFTW_PLANNER", "estimate", 1);
  setenv("KORVEX_FFTW_WISDOM", "off", 1);
  return true;
}();

// FNV-1a over the bytes of the output, the last iteration, step and ratio.
template <typename T>
uint64_t Result_Hash(const EngineResult<T>& r) {
  uint64_t hash = 1469598103934665603ull;
  const auto add = [&hash](const void* data, size_t bytes) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  };
  add(r.output.data(), r.output.size() * sizeof(T));
  add(&r.iteration, sizeof(r.iteration));
  add(&r.alpha, sizeof(T));
  add(&r.ratio, sizeof(T));
  return hash;
}

template <typename T>
uint64_t Hash_Of(const Problem& p, unsigned iterations, double lambda, double alpha) {
  return Result_Hash(Run_Engine<T>(p, iterations, 0.0, lambda, alpha));
}

TEST(SevenArgumentPinTest, ResultsAreThoseRecordedBitForBit) {
  ASSERT_TRUE(kPlannerSet);
  const Problem random = Random_Problem(24, 17, 3, 99);
  const Problem scene = Simulated_Scene(48, 40).problem;
  const uint64_t hashes[4] = {
      Hash_Of<float>(random, 12, 0.01, 0.1), Hash_Of<double>(random, 12, 0.01, 0.1),
      Hash_Of<float>(scene, 25, 0.001, 0.05), Hash_Of<double>(scene, 25, 0.001, 0.05)};
  const uint64_t recorded[4] = {0x31589c63bed86335ull, 0x2163aef56597e6e5ull, 0x80ce306201b30516ull,
                                0x758ae189f97da95ull};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(hashes[i], recorded[i]) << "case " << i << ": 0x" << std::hex << hashes[i];
  }
}

}  // namespace
