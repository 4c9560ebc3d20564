#include "ply_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <stdexcept>

#include "ply/ply.h"

namespace {

// The writer's first error during the current call (create failures come without a handle, so
// it cannot travel in the handle's user data).
thread_local std::string first_error;

void rememberError(p_ply, const char* message) {
  if (first_error.empty()) first_error = message;
}

[[noreturn]] void throwFailure(const std::string& path) {
  std::stringstream ss;
  ss << "writeParticlesToPLY: cannot write the model \"" << path << "\"" << std::endl
     << (first_error.empty() ? std::string("unknown error") : first_error);
  throw std::runtime_error(ss.str());
}

// The temporary file of the write in progress, removed when SIGTERM, SIGINT or SIGHUP ends the
// process during the write. The handler does only what is safe in a signal handler: it unlinks
// the file, puts back the signal's earlier action and raises the signal again, so that the
// process ends (or the earlier handler runs) as without this writer. The name is set only while
// `tmp_active` is false, so a handler running on another thread never sees half a name. Models
// are written from one thread at a time.
const int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};
const int kSignalCount = 3;
char tmp_name[4096];
std::atomic<bool> tmp_active{false};
struct sigaction previous_actions[kSignalCount];
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void removeTemporaryOnSignal(int sig) {
  const int saved_errno = errno;
  if (tmp_active.load()) ::unlink(tmp_name);
  for (int i = 0; i < kSignalCount; ++i)
    if (kCleanupSignals[i] == sig) ::sigaction(sig, &previous_actions[i], nullptr);
  ::raise(sig);  // blocked until this handler returns, then acted on as before
  errno = saved_errno;
}

// Installs the handler for the duration of one write. A signal that is ignored (a run under
// nohup ignores SIGHUP) stays ignored.
class SignalCleanup {
 public:
  SignalCleanup() {
    struct sigaction action = {};
    action.sa_handler = removeTemporaryOnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
    for (int i = 0; i < kSignalCount; ++i) {
      installed_[i] = false;
      if (::sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]) != 0) continue;
      const bool ignored = !(previous_actions[i].sa_flags & SA_SIGINFO) &&
                           previous_actions[i].sa_handler == SIG_IGN;
      if (!ignored) installed_[i] = ::sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
  }
  ~SignalCleanup() {
    tmp_active.store(false);
    for (int i = 0; i < kSignalCount; ++i)
      if (installed_[i]) ::sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
  }
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

  // From now on a signal removes `name` (a name too long to keep is not tracked).
  void track(const std::string& name) {
    tmp_active.store(false);
    if (name.size() >= sizeof tmp_name) return;
    std::memcpy(tmp_name, name.c_str(), name.size() + 1);
    tmp_active.store(true);
  }
  void untrack() { tmp_active.store(false); }

 private:
  bool installed_[kSignalCount];
};

// A fresh, empty file beside `path` (same folder, so that the final rename stays on one file
// system). O_EXCL: an existing file or symlink of that name is never written through. Each name
// is tracked before it is tried, so no moment passes in which the file exists untracked.
std::string createTemporaryBeside(const std::string& path, SignalCleanup& cleanup) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::stringstream name;
    name << path << ".tmp-" << getpid() << "-" << attempt;
    cleanup.track(name.str());
    const int fd = ::open(name.str().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name.str();
    }
    cleanup.untrack();
    if (errno != EEXIST) {
      first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
      throwFailure(path);
    }
  }
  first_error = "Unable to create a temporary file";
  throwFailure(path);
}

// Removes the temporary file unless the write succeeded and it was renamed.
struct TemporaryFile {
  std::string name;
  bool keep = false;
  ~TemporaryFile() {
    if (!keep) std::remove(name.c_str());
  }
};

// Tests slow the write down to send it signals: TESSIVAR_TEST_SLOW_PLY_WRITE gives seconds to
// pause after the header.
void pauseForTests() {
  const char* seconds = std::getenv("TESSIVAR_TEST_SLOW_PLY_WRITE");
  if (!seconds) return;
  const double s = std::atof(seconds);
  if (!(s > 0.0)) return;
  timespec left = {time_t(s), long((s - double(time_t(s))) * 1e9)};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, std::string path) {
  const std::size_t n = particles.size();
  if (offsets.size() < n || normals.size() < n) {
    std::stringstream ss;
    ss << "writeParticlesToPLY: offsets and normals must hold an entry per particle" << std::endl
       << "particles: " << n << ", offsets: " << offsets.size() << ", normals: " << normals.size();
    throw std::runtime_error(ss.str());
  }

  // The model is written under a temporary name and renamed over `path` only when complete, so
  // a failed write (full disk, file-size limit) never leaves a short model, and an earlier model
  // of the same name stays as it was.
  first_error.clear();
  // Only a regular file (or a symlink, which the rename replaces) may stand at `path`: renaming
  // over a device or a folder would replace something that is not a model.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    first_error = "it exists and is not a regular file";
    throwFailure(path);
  }
  SignalCleanup cleanup;
  TemporaryFile tmp{createTemporaryBeside(path, cleanup)};
  p_ply ply = ply_create(tmp.name.c_str(), PLY_DEFAULT, rememberError, 0, nullptr);
  if (!ply) throwFailure(path);

  bool ok = ply_add_element(ply, "vertex", long(n));
  const char* const float_names[] = {"x", "y", "z", "nx", "ny", "nz"};
  for (const char* name : float_names) ok = ok && ply_add_scalar_property(ply, name, PLY_FLOAT);
  ok = ok && ply_add_scalar_property(ply, "diffuse_red", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_green", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_blue", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "psz", PLY_FLOAT);
  ok = ok && ply_write_header(ply);
  pauseForTests();

  for (std::size_t i = 0; ok && i < n; ++i) {
    const Particle& p = particles[i];
    // Effective position in single precision: offset times direction, then the base added.
    const float o = offsets[i];
    const float x = p.position.x + o * p.direction.x;
    const float y = p.position.y + o * p.direction.y;
    const float z = p.position.z + o * p.direction.z;
    ok = ply_write(ply, x) && ply_write(ply, y) && ply_write(ply, z) &&
         ply_write(ply, normals[i].x) && ply_write(ply, normals[i].y) &&
         ply_write(ply, normals[i].z) && ply_write(ply, p.color.x) &&
         ply_write(ply, p.color.y) && ply_write(ply, p.color.z) && ply_write(ply, p.size);
  }
  // Close in any case, so the handle is freed; a short or unfinished file is a failure.
  const bool closed = ply_close(ply);
  if (!ok || !closed) throwFailure(path);
  if (std::rename(tmp.name.c_str(), path.c_str()) != 0) {
    first_error = std::string("cannot rename the finished file (") + std::strerror(errno) + ")";
    throwFailure(path);
  }
  tmp.keep = true;
}
