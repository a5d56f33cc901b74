// FFTW's wisdom kept on disk, so that a process meets the plans an earlier one measured.
// Internal to platform/host.
//
// Measuring a plan (FFTW_MEASURE) takes far longer than a transform; FFTW keeps what it
// measured as wisdom, but only for the life of the process. Each precision's wisdom lives in
// the user's cache folder, $XDG_CACHE_HOME/korvex or ~/.cache/korvex (fftw-wisdom-float,
// fftw-wisdom-double), read before the first plan of a process and written again whenever
// a plan added to it. KORVEX_FFTW_WISDOM=off leaves the disk alone.
//
// The disk is a cache and never an error: a folder that cannot be made or written, a missing
// file, or one that FFTW does not accept (corrupt, truncated, another FFTW build's or the other
// precision's) is passed over, and the plans are measured as before. Files are written whole
// under a temporary name and renamed into place, so a reader never sees half of one.
#pragma once

namespace korvex::host::detail {

// Both with FFTW's planner lock held (FFTW's planner is not thread-safe).
// Reads this precision's wisdom, once a process.
template <class Real>
void load_wisdom();
// Writes this precision's wisdom when it differs from what was read or last written.
template <class Real>
void save_wisdom();

}  // namespace korvex::host::detail
