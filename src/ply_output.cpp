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

// The temporary file of the write in progress, removed when a signal that would end the process
// arrives during the write. The handler does only what is safe in a signal handler: it unlinks
// the file (once its identity is known, only while the name still refers to it), puts back the
// default action and raises the signal again, so that the process ends as without this writer.
// The name is set only while `tmp_active` is false, so a handler running on another thread never
// sees half a name. Models are written from one thread at a time.
//
// Handled: every signal whose default action ends the process and that another process or the
// terminal sends (TERM, INT, HUP, QUIT, USR1, USR2, ALRM, ABRT, XCPU, XFSZ, VTALRM, PROF, POLL,
// PWR, STKFLT and the real-time signals). Left alone: the faults of the process itself (SEGV, BUS,
// FPE, ILL, SYS, TRAP), where memory may be damaged and a debugger or core dump should see the
// untouched state; PIPE, which a run ignores; and any signal that already has a handler or is
// ignored (a run under nohup ignores HUP), which keeps its action.
const int kFixedSignals[] = {SIGTERM, SIGINT,    SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                             SIGALRM, SIGABRT,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
                             SIGPOLL, SIGPWR,    SIGSTKFLT};
const int kMaxSignals = 96;
char tmp_name[4096];
std::atomic<bool> tmp_active{false};
// The file's device and inode, once it is open; until then the name alone identifies it.
std::atomic<bool> tmp_known{false};
dev_t tmp_dev;
ino_t tmp_ino;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void removeTemporaryOnSignal(int sig) {
  const int saved_errno = errno;
  if (tmp_active.load()) {
    struct stat st;
    if (!tmp_known.load() ||
        (::lstat(tmp_name, &st) == 0 && st.st_dev == tmp_dev && st.st_ino == tmp_ino))
      ::unlink(tmp_name);
  }
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(sig, &default_action, nullptr);
  ::raise(sig);  // blocked until this handler returns, then acted on by default
  errno = saved_errno;
}

// Installs the handler for the duration of one write, on the signals that have their default
// action now.
class SignalCleanup {
 public:
  SignalCleanup() {
    int candidates[kMaxSignals];
    int n = 0;
    for (int sig : kFixedSignals) candidates[n++] = sig;
    for (int sig = SIGRTMIN; sig <= SIGRTMAX && n < kMaxSignals; ++sig) candidates[n++] = sig;
    struct sigaction action = {};
    action.sa_handler = removeTemporaryOnSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < n; ++i) sigaddset(&action.sa_mask, candidates[i]);
    for (int i = 0; i < n; ++i) {
      struct sigaction current;
      if (::sigaction(candidates[i], nullptr, &current) != 0) continue;
      if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
      if (::sigaction(candidates[i], &action, nullptr) == 0) installed_[count_++] = candidates[i];
    }
  }
  ~SignalCleanup() {
    untrack();
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int i = 0; i < count_; ++i) ::sigaction(installed_[i], &default_action, nullptr);
  }
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

  // From now on a signal removes `name` (a name too long to keep is not tracked).
  void track(const std::string& name) {
    untrack();
    if (name.size() >= sizeof tmp_name) return;
    std::memcpy(tmp_name, name.c_str(), name.size() + 1);
    tmp_active.store(true);
  }
  // ... and only while it still refers to this file.
  void identify(const struct stat& st) {
    tmp_dev = st.st_dev;
    tmp_ino = st.st_ino;
    tmp_known.store(true);
  }
  void untrack() {
    tmp_active.store(false);
    tmp_known.store(false);
  }

 private:
  int installed_[kMaxSignals];
  int count_ = 0;
};

// The temporary file: its name and the stream on the descriptor of its exclusive create. The
// file is only ever reached through that descriptor; its name is used to publish it and, while
// the name still refers to it, to remove it when the write fails.
struct TemporaryFile {
  std::string name;
  FILE* fp = nullptr;
  struct stat st = {};  // identity of the file written
  bool published = false;

  // Whether `name` (or, after the rename, `path`) still refers to the file written, and not to
  // a symlink or another file that someone put there.
  bool isOurs(const std::string& at) const {
    struct stat now;
    return ::lstat(at.c_str(), &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == st.st_dev &&
           now.st_ino == st.st_ino;
  }
  ~TemporaryFile() {
    if (!published && !name.empty() && isOurs(name)) ::unlink(name.c_str());
    if (fp) std::fclose(fp);
  }
};

// A fresh, empty file beside `path` (same folder, so that the final rename stays on one file
// system). O_EXCL with O_NOFOLLOW: an existing file or symlink of that name is never written
// through. Each name is tracked before it is tried, so no moment passes in which the file exists
// untracked.
void createTemporaryBeside(const std::string& path, SignalCleanup& cleanup, TemporaryFile& tmp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::stringstream name;
    name << path << ".tmp-" << getpid() << "-" << attempt;
    cleanup.track(name.str());
    const int fd = ::open(name.str().c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      tmp.name = name.str();
      if (::fstat(fd, &tmp.st) != 0 || !(tmp.fp = ::fdopen(fd, "wb"))) {
        first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
        ::unlink(tmp.name.c_str());  // no other program could have changed it yet
        tmp.name.clear();
        ::close(fd);
        throwFailure(path);
      }
      cleanup.identify(tmp.st);
      return;
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
  TemporaryFile tmp;
  createTemporaryBeside(path, cleanup, tmp);
  p_ply ply = ply_create_to_file(tmp.fp, PLY_DEFAULT, rememberError, 0, nullptr);
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
  // Anyone who may write into the folder could have put something else at the temporary name
  // meanwhile (a symlink would be published as the model): publish only the file written. The
  // name can still be swapped between the check and the rename; what the rename then put at the
  // model's name is not the model, and is removed.
  const auto replaced = [&] {
    first_error = "the temporary file \"" + tmp.name +
                  "\" was replaced by another program during the write; the model was not written";
    throwFailure(path);
  };
  if (!tmp.isOurs(tmp.name)) replaced();
  if (std::rename(tmp.name.c_str(), path.c_str()) != 0) {
    first_error = std::string("cannot rename the finished file (") + std::strerror(errno) + ")";
    throwFailure(path);
  }
  tmp.published = true;
  cleanup.untrack();
  if (!tmp.isOurs(path)) {
    ::unlink(path.c_str());
    replaced();
  }
  FILE* fp = tmp.fp;
  tmp.fp = nullptr;
  if (std::fclose(fp) != 0) {
    // A deferred write error (a network file system): the model just published may be short.
    first_error = std::string("Error closing up (") + std::strerror(errno) + ")";
    ::unlink(path.c_str());
    throwFailure(path);
  }
}
