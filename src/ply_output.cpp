#include "ply_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "ply/ply.h"
#include "printable.h"

namespace {

// The writer's first error during the current call (create failures come without a handle, so
// it cannot travel in the handle's user data). Models are written one at a time, by the thread
// that runs the stages; a thread_local string would register a destructor, which the C library
// cannot do without memory (it aborts).
std::string first_error;

void rememberError(p_ply, const char* message) {
  if (first_error.empty()) first_error = message;
}

[[noreturn]] void throwFailure(const std::string& path) {
  std::stringstream ss;
  ss << "writeParticlesToPLY: cannot write the model \"" << printable_path(path) << "\""
     << std::endl
     << (first_error.empty() ? std::string("unknown error") : first_error);
  throw std::runtime_error(ss.str());
}

// The temporary file of the write in progress, removed when a signal that would end the process
// arrives during the write. The handler does only what is safe in a signal handler: it unlinks
// the file relative to the folder's descriptor (once its identity is known, only while the name
// still refers to it), puts back the default action and raises the signal again, so that the
// process ends as without this writer. Folder and name are set only while `tmp_active` is false,
// so a handler running on another thread never sees half a name. Models are written from one
// thread at a time.
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
int tmp_folder = -1;
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
        (::fstatat(tmp_folder, tmp_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == tmp_dev &&
         st.st_ino == tmp_ino))
      ::unlinkat(tmp_folder, tmp_name, 0);
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

  // From now on a signal removes `name` in `folder` (a name too long to keep is not tracked).
  void track(int folder, const std::string& name) {
    untrack();
    if (name.size() >= sizeof tmp_name) return;
    tmp_folder = folder;
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

// Where the stream's bytes go: the file's descriptor, with the count and a hash of every byte
// handed to it, so that the finished file can be checked against what was written.
struct Sink {
  int fd = -1;
  std::uint64_t bytes = 0;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a

  static std::uint64_t mix(std::uint64_t h, const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      h = (h ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    return h;
  }
  static ssize_t write(void* cookie, const char* data, std::size_t size) {
    Sink& sink = *static_cast<Sink*>(cookie);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(sink.fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return -1;
      }
      sink.hash = mix(sink.hash, data + done, std::size_t(n));
      done += std::size_t(n);
      sink.bytes += std::uint64_t(n);
    }
    return ssize_t(done);
  }
};

// The temporary file: its name in the folder, its descriptor from the exclusive create and the
// stream on it. The file is only ever reached through that descriptor; its name is used to
// publish it and, while the name still refers to it, to remove it when the write fails.
struct TemporaryFile {
  int folder = -1;
  std::string name, shown;
  Sink sink;
  FILE* fp = nullptr;
  struct stat st = {};  // identity of the file written
  bool published = false;

  // Whether `at` in the folder still refers to the file written, and not to a symlink or another
  // file that someone put there.
  bool isOurs(const std::string& at) const {
    struct stat now;
    return ::fstatat(folder, at.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
           now.st_dev == st.st_dev && now.st_ino == st.st_ino;
  }
  ~TemporaryFile() {
    if (!published && !name.empty() && isOurs(name)) ::unlinkat(folder, name.c_str(), 0);
    if (fp) std::fclose(fp);
    if (sink.fd >= 0) ::close(sink.fd);
  }
};

// A fresh, empty file beside `name` in `folder` (so that the final rename stays on one file
// system). O_EXCL with O_NOFOLLOW: an existing file or symlink of that name is never written
// through. Each name is tracked before it is tried, so no moment passes in which the file exists
// untracked.
void createTemporaryBeside(int folder, const std::string& name, const std::string& shown,
                           SignalCleanup& cleanup, TemporaryFile& tmp) {
  tmp.folder = folder;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string suffix = ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    cleanup.track(folder, name + suffix);
    const int fd = ::openat(folder, (name + suffix).c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      tmp.name = name + suffix;
      tmp.shown = shown + suffix;
      tmp.sink.fd = fd;
      const cookie_io_functions_t io = {nullptr, Sink::write, nullptr, nullptr};
      if (::fstat(fd, &tmp.st) != 0 || !(tmp.fp = ::fopencookie(&tmp.sink, "w", io))) {
        first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
        ::unlinkat(folder, tmp.name.c_str(), 0);  // no other program could have changed it yet
        tmp.name.clear();
        throwFailure(shown);
      }
      std::setvbuf(tmp.fp, nullptr, _IOFBF, 1 << 16);
      cleanup.identify(tmp.st);
      return;
    }
    cleanup.untrack();
    if (errno != EEXIST) {
      first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
      throwFailure(shown);
    }
  }
  first_error = "Unable to create a temporary file";
  throwFailure(shown);
}

// Puts the finished file on the disk and checks that it holds what was written: another program
// that truncated it mid-write leaves it short, or, as the writes go on past the cut, of the right
// size with zeros where the cut data was.
void flushAndCheck(TemporaryFile& tmp, const std::string& shown) {
  const int fd = tmp.sink.fd;
  if (::fdatasync(fd) != 0 && errno != EINVAL) {  // EINVAL: a file system that cannot sync
    first_error = std::string("cannot flush the file to the disk (") + std::strerror(errno) + ")";
    throwFailure(shown);
  }
  struct stat now;
  std::uint64_t hash = Sink().hash, read = 0;
  if (::fstat(fd, &now) == 0 && std::uint64_t(now.st_size) == tmp.sink.bytes) {
    std::vector<char> buffer(1 << 20);
    while (read < tmp.sink.bytes) {
      const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), off_t(read));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      hash = Sink::mix(hash, buffer.data(), std::size_t(n));
      read += std::uint64_t(n);
    }
  }
  if (read != tmp.sink.bytes || hash != tmp.sink.hash) {
    first_error = "the temporary file \"" + printable_path(tmp.shown) +
                  "\" does not hold what was written: another program changed it during the "
                  "write; the model was not written";
    throwFailure(shown);
  }
}

// Tests slow the write down to act on it meanwhile: TESSIVAR_TEST_SLOW_PLY_WRITE gives seconds to
// pause after the header (which is put into the file first), TESSIVAR_TEST_SLOW_PLY_PUBLISH
// seconds to pause after the last check before the rename.
void pauseForTests(const char* variable, FILE* fp = nullptr) {
  const char* seconds = std::getenv(variable);
  if (!seconds) return;
  const double s = std::atof(seconds);
  if (!(s > 0.0)) return;
  if (fp) std::fflush(fp);
  timespec left = {time_t(s), long((s - double(time_t(s))) * 1e9)};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The header and the vertices through the PLY writer, into the temporary file's stream; the
// handle is closed in any case, and a short or unfinished file is a failure.
void writeVertices(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                   const std::vector<float3>& normals, TemporaryFile& tmp,
                   const std::string& shown) {
  const std::size_t n = particles.size();
  p_ply ply = ply_create_to_file(tmp.fp, PLY_DEFAULT, rememberError, 0, nullptr);
  if (!ply) throwFailure(shown);

  bool ok = ply_add_element(ply, "vertex", long(n));
  const char* const float_names[] = {"x", "y", "z", "nx", "ny", "nz"};
  for (const char* property : float_names)
    ok = ok && ply_add_scalar_property(ply, property, PLY_FLOAT);
  ok = ok && ply_add_scalar_property(ply, "diffuse_red", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_green", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_blue", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "psz", PLY_FLOAT);
  ok = ok && ply_write_header(ply);
  if (ok) pauseForTests("TESSIVAR_TEST_SLOW_PLY_WRITE", tmp.fp);

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
  const bool closed = ply_close(ply);
  if (!ok || !closed) throwFailure(shown);
}

// Puts the finished temporary file in place of `name` in its folder.
void publish(TemporaryFile& tmp, SignalCleanup& cleanup, const std::string& name,
             const std::string& shown) {
  const int folder_fd = tmp.folder;
  // Publish nothing that is not complete on the disk: flush, check, close, then rename. A close
  // that fails (a deferred write error of a network file system) leaves the earlier model as it
  // was.
  flushAndCheck(tmp, shown);
  FILE* fp = tmp.fp;
  tmp.fp = nullptr;
  std::fclose(fp);  // the stream only: it was flushed, and the descriptor is closed below
  const int fd = tmp.sink.fd;
  tmp.sink.fd = -1;
  if (::close(fd) != 0) {
    first_error = std::string("Error closing up (") + std::strerror(errno) + ")";
    throwFailure(shown);
  }
  // Anyone who may write into the folder could have put something else at the temporary name
  // meanwhile (a symlink would be published as the model): publish only the file written. The
  // name can still be swapped between the check and the rename; what the rename then put at the
  // model's name is not the model, and is removed.
  const auto replaced = [&] {
    first_error = "the temporary file \"" + printable_path(tmp.shown) +
                  "\" was replaced by another program during the write; the model was not written";
    throwFailure(shown);
  };
  if (!tmp.isOurs(tmp.name)) replaced();
  pauseForTests("TESSIVAR_TEST_SLOW_PLY_PUBLISH");
  if (::renameat(folder_fd, tmp.name.c_str(), folder_fd, name.c_str()) != 0) {
    first_error = std::string("cannot rename the finished file (") + std::strerror(errno) + ")";
    throwFailure(shown);
  }
  tmp.published = true;
  cleanup.untrack();
  if (!tmp.isOurs(name)) {
    ::unlinkat(folder_fd, name.c_str(), 0);
    replaced();
  }
  // The rename itself reaches the disk with the folder. Past the rename the file is the model and
  // the earlier one is gone, so a failure here is no failed write.
  if (::fsync(folder_fd) != 0 && errno != EINVAL) {
    std::stringstream ss;
    ss << "writeParticlesToPLY: the model \"" << printable_path(shown)
       << "\" was written, but its folder could not be flushed to the disk ("
       << std::strerror(errno) << ")";
    throw ModelNotFlushed(ss.str());
  }
}

// Whether the folder open as `fd` was removed: no name leads to it any more.
bool folderRemoved(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink == 0;
}

void writeThroughTemporary(const std::vector<Particle>& particles,
                           const std::vector<float>& offsets, const std::vector<float3>& normals,
                           int folder_fd, const std::string& name, const std::string& shown) {
  // Only a regular file (or a symlink, which the rename replaces) may stand at `name`: renaming
  // over a device or a folder would replace something that is not a model.
  struct stat st;
  if (::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
      !S_ISLNK(st.st_mode)) {
    first_error = "it exists and is not a regular file";
    throwFailure(shown);
  }
  SignalCleanup cleanup;
  TemporaryFile tmp;
  createTemporaryBeside(folder_fd, name, shown, cleanup, tmp);
  writeVertices(particles, offsets, normals, tmp, shown);
  publish(tmp, cleanup, name, shown);
}

}  // namespace

void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, int folder_fd,
                         const std::string& name, const std::string& shown) {
  const std::size_t n = particles.size();
  if (offsets.size() < n || normals.size() < n) {
    std::stringstream ss;
    ss << "writeParticlesToPLY: offsets and normals must hold an entry per particle" << std::endl
       << "particles: " << n << ", offsets: " << offsets.size() << ", normals: " << normals.size();
    throw std::runtime_error(ss.str());
  }

  // The model is written under a temporary name and renamed over `name` only when complete and
  // on the disk, so a failed write (full disk, file-size limit) or a crash never leaves a short
  // model, and an earlier model of the same name stays as it was.
  first_error.clear();
  try {
    writeThroughTemporary(particles, offsets, normals, folder_fd, name, shown);
  } catch (const ModelNotFlushed&) {
    throw;
  } catch (const std::runtime_error&) {
    // A folder removed before or during the write fails it in many ways (no file can be created
    // in it, the temporary file went with it); its removal is the reason to give.
    if (!folderRemoved(folder_fd)) throw;
    first_error = "the output folder was removed during the run";
    throwFailure(shown);
  }
}

void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0                ? "/"
                                                         : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
    throwFailure(path);
  }
  try {
    writeParticlesToPLY(particles, offsets, normals, fd, path.substr(slash + 1), path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}
