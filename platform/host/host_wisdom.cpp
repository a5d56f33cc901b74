// FFTW's wisdom on disk (host_wisdom.h).
#include "host_wisdom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host_fftw.h"

namespace korvex::host::detail {
namespace {

template <class Real>
struct Wisdom;

template <>
struct Wisdom<float> {
  static constexpr const char* kFile = "fftw-wisdom-float";
  static int import_file(const char* path) { return fftwf_import_wisdom_from_filename(path); }
  static char* export_text() { return fftwf_export_wisdom_to_string(); }
};

template <>
struct Wisdom<double> {
  static constexpr const char* kFile = "fftw-wisdom-double";
  static int import_file(const char* path) { return fftw_import_wisdom_from_filename(path); }
  static char* export_text() { return fftw_export_wisdom_to_string(); }
};

// The folder of the files, "" when the disk is off or no cache folder is known.
std::string wisdom_folder() {
  const char* choice = std::getenv("KORVEX_FFTW_WISDOM");
  if (choice != nullptr && std::strcmp(choice, "off") == 0) return "";
  // XDG_CACHE_HOME counts only as an absolute path; a relative one is passed over.
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/korvex";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/korvex";
  return "";
}

// Makes the folder and its missing parents; false where that is not possible.
bool make_folder(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// All of text to fd; false on any error.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces path by text: a temporary file beside it, renamed over it once complete.
void write_atomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return;
  const bool written = write_all(fd, text) && fchmod(fd, 0644) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
  }
}

// What the disk holds of one precision, as far as this process knows.
template <class Real>
struct Kept {
  static inline bool loaded = false;
  static inline std::string folder;
  static inline std::string text;  // as read or last written
};

template <class Real>
std::string current_text() {
  char* raw = Wisdom<Real>::export_text();
  if (raw == nullptr) return "";
  std::string text(raw);
  std::free(raw);
  return text;
}

}  // namespace

template <class Real>
void load_wisdom() {
  using K = Kept<Real>;
  if (K::loaded) return;
  K::loaded = true;
  K::folder = wisdom_folder();
  if (K::folder.empty()) return;
  const std::string path = K::folder + "/" + Wisdom<Real>::kFile;
  // FFTW keeps the wisdom it had when a file fails to import.
  if (access(path.c_str(), R_OK) == 0) Wisdom<Real>::import_file(path.c_str());
  K::text = current_text<Real>();
}

template <class Real>
void save_wisdom() {
  using K = Kept<Real>;
  if (!K::loaded || K::folder.empty()) return;
  std::string text = current_text<Real>();
  if (text == K::text) return;
  if (make_folder(K::folder)) write_atomically(K::folder + "/" + Wisdom<Real>::kFile, text);
  // Kept as written even where writing failed: a read-only cache is not tried at every plan.
  K::text = std::move(text);
}

template void load_wisdom<float>();
template void load_wisdom<double>();
template void save_wisdom<float>();
template void save_wisdom<double>();

}  // namespace korvex::host::detail
