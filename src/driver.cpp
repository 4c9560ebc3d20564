#include "driver.h"

#include <dirent.h>
#include <omp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "backface.h"
#include "camera.h"
#include "camera_pose.h"
#include "command_line.h"
#include "cublas_dynamic.h"
#include "depth_avg_check.h"
#include "dense_points.h"
#include "depthmap_refinement.h"
#include "particle_filtering.h"
#include "particles.h"
#include "particles_from_superpixels.h"
#include "ply_output.h"
#include "printable.h"
#include "rendering.h"
#include "settings.h"
#include "superpixels.h"
#include "thread_start.h"
#include "visualization.h"
#include "yv/runtime/runtime.h"
#include "yv/tools/timer.h"

namespace {

// The three aligned vectors of a particle set.
struct ParticleSet {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;

  void clear() {
    particles.clear();
    offsets.clear();
    normals.clear();
  }
};

// Wall time of the stages of a run, reported on standard error when TESSIVAR_STAGE_TIMES is set
// (used by the benchmark; a normal run prints nothing extra).
class StageClock {
 public:
  StageClock() : enabled_(std::getenv("TESSIVAR_STAGE_TIMES") != nullptr), last_(now()) {}
  // Ends the stage that ran since the previous call.
  void lap(const char* stage) {
    const double t = now();
    if (enabled_) std::cerr << "stage " << stage << " " << (t - last_) << std::endl;
    last_ = t;
  }

 private:
  static double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  bool enabled_;
  double last_;
};

// What the stages of one level did to the number of points, to say which one left a model
// empty.
class StageLog {
 public:
  void made(const std::string& from, std::size_t count) { entries_.push_back({from, 0, count, true}); }
  // Runs `stage`, which may remove points of `set`, and notes how many went in and came out.
  template <class Stage>
  void step(const std::string& name, const ParticleSet& set, Stage&& stage) {
    const std::size_t in = set.particles.size();
    stage();
    entries_.push_back({name, in, set.particles.size(), false});
  }
  // The first stage after which no point was left.
  std::string emptied_by() const {
    for (const Entry& e : entries_) {
      if (e.out != 0) continue;
      if (e.makes) return "no point was made " + e.stage;
      return e.stage + " removed all " + std::to_string(e.in) + " points that went into it";
    }
    return "no stage left a point";
  }

 private:
  struct Entry {
    std::string stage;
    std::size_t in, out;
    bool makes;
  };
  std::vector<Entry> entries_;
};

// What the run is doing, for the report of a failed allocation: the stage and, while the stage
// works on one camera, that camera. It keeps its own copy of the camera files, since the report is
// made after the run's own data is gone.
class CurrentStage {
 public:
  void set(const std::string& what, long camera = -1) {
    what_ = what;
    camera_ = camera;
  }
  void set(const std::string& what, std::size_t camera) { set(what, long(camera)); }
  void cameras(const std::vector<std::string>& files) { files_ = files; }
  std::string describe() const {
    if (camera_ < 0) return what_;
    std::string text = what_ + " of camera " + std::to_string(camera_);
    if (std::size_t(camera_) < files_.size())
      text += " (" + printable_path(files_[std::size_t(camera_)]) + ")";
    return text;
  }

 private:
  std::string what_ = "reading the command line";
  long camera_ = -1;
  std::vector<std::string> files_;
};

// An empty model is written like any other, but the run fails with the stage that emptied it.
// Support comes only from other cameras' points, and one camera's superpixel points cover a
// place about once: with two cameras a superpixel support test above 1 cannot be passed.
void report_empty_model(const std::string& name, const StageLog& log, std::size_t cameras) {
  std::cerr << "the model \"" << printable_path(output_directory + "/" + name)
            << "\" is empty: " << log.emptied_by()
            << ".\nCheck the cameras (poses, intrinsics, depth maps), --depth-avg and the support "
               "options (--min-support-sp, --min-support)."
            << std::endl;
  if (cameras == 2 && min_support_sp > 1.0f)
    std::cerr << "With two cameras a point has one other camera to support it, which covers it "
                 "about once, and --min-support-sp "
              << min_support_sp
              << " asks for more. Add cameras that see the same places, or lower the support "
                 "options (for example --min-support-sp 0.5 --min-support 1)."
              << std::endl;
}

std::string with_option(const char* stage, const char* option, float value) {
  std::ostringstream ss;
  ss << stage << " (" << option << " " << value << ")";
  return ss.str();
}

// Support test and removal of the points with less than `min_support`.
void support_test(ParticleSet& set, float radius, float min_support) {
  std::vector<float> support;
  compute_particle_support(support, set.particles, set.offsets, set.normals, radius, min_support);
  threshold_particles<float>(support, set.particles, set.offsets, set.normals, min_support, FLT_MAX);
}

// The output folder as the run holds it: open and locked, and the models written into it.
struct OutputFolder {
  int fd = -1;
  std::vector<std::string> written;

  OutputFolder() = default;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  ~OutputFolder() {
    if (fd >= 0) ::close(fd);
  }

  // What a run says at its end when the folder's name no longer leads to the folder it holds
  // (see output_folder_note); empty when it does or when the run wrote no model. `kept` is false
  // when the models it wrote could not be kept.
  std::string end_note(bool& kept) const {
    kept = true;
    if (written.empty()) return "";
    return output_folder_note(output_directory, fd, kept);
  }
  // What a failed run says after its error when it wrote models: which ones, so that an earlier
  // run's model beside them is not taken for this run's, and where they are.
  std::string notes() const {
    if (written.empty()) return "";
    std::string text = "\nthis run wrote: ";
    for (std::size_t i = 0; i < written.size(); ++i) text += (i ? ", " : "") + written[i];
    bool kept = true;
    const std::string where = end_note(kept);
    return where.empty() ? text : text + "\n" + where;
  }
};

void write_model(const ParticleSet& set, const std::string& name, CurrentStage& stage,
                 OutputFolder& folder) {
  const std::string shown = output_directory + "/" + name;
  stage.set("writing the model \"" + printable_path(shown) + "\"");
  try {
    writeParticlesToPLY(set.particles, set.offsets, set.normals, folder.fd, name, shown);
  } catch (const ModelNotFlushed&) {
    folder.written.push_back(name);  // in place, only perhaps not yet on the disk
    throw;
  }
  folder.written.push_back(name);
}

// Releases a point set on every way out of a scope.
struct PointsGuard {
  Points points;
  explicit PointsGuard(const ParticleSet& set)
      : points(createPoints(set.particles, set.offsets, set.normals)) {}
  ~PointsGuard() { releasePoints(points); }
  PointsGuard(const PointsGuard&) = delete;
  PointsGuard& operator=(const PointsGuard&) = delete;
};

// One refinement cycle: every camera's pose aligned with the dense model, depth and normal maps
// rendered from the model, the maps refined by photo-consistency, and the dense set rebuilt from
// the confirmed maps. `pass` is the filter pass the cycle follows.
void refinement_cycle(ParticleSet& dense, std::vector<Camera>& cameras,
                      const std::vector<Camera*>& camera_list,
                      std::vector<CMatrix<float>>& depthmaps, int pass) {
  // An empty model can neither place a camera nor be rendered.
  if (dense.particles.empty()) return;
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const std::string name = "camera_" + std::to_string(i);
    if (pass == 0) sendCameraToOstrel(cameras[i], name, 0);
    yv::timer::start("camera pose");
    compute_camera_pose(cameras[i], dense.particles, dense.offsets, dense.normals, 0.02f, 0.5f,
                        110);
    yv::timer::stop("camera pose");
    sendCameraToOstrel(cameras[i], name, pass + 1);
  }

  std::vector<CMatrix<float>> rendered_depth;
  std::vector<CMatrix<float3>> rendered_normals;
  {
    PointsGuard model(dense);
    for (Camera& camera : cameras) {
      rendered_depth.emplace_back();
      rendered_normals.emplace_back();
      compute_depthmap_and_normals_from_points(rendered_depth.back(), rendered_normals.back(),
                                               model.points, camera, 0.02f, 0.0f, FLT_MAX, 1.0f);
    }
  }
  yv::timer::stop("core algorithm time");
  saveDepthmapStack(rendered_depth, output_directory + "/debug/debug_rendered_depthmaps.dat");

  yv::timer::start("core algorithm time");
  const float R_4 = (4.0f * average_depth) / cameras[0].K[0];
  std::cout << " refine depth maps radius " << R_4 << std::endl;
  std::vector<CMatrix<float>> refined, current;
  refine_depthmaps(refined, current, rendered_depth, camera_list, R_4);
  depthmaps = refined;
  yv::timer::stop("core algorithm time");
  saveDepthmapStack(depthmaps, output_directory + "/debug/debug_improved_depthmaps.dat");
  saveDepthmapStack(current, output_directory + "/debug/debug_current_particles_depthmaps.dat");

  yv::timer::start("core algorithm time");
  dense.clear();
  for (std::size_t i = 0; i < cameras.size(); ++i)
    create_particles_from_depthmap(dense.particles, dense.offsets, dense.normals, current[i],
                                   rendered_normals[i], depthmaps[i], cameras[i].image,
                                   cameras[i], depth_range_min, depth_range_max);
  std::cout << "                   #PARTICLES = " << dense.particles.size() << std::endl;
}

}  // namespace

namespace {

// Names the first part of `path` that is a symlink to nothing, through which no folder can be
// created (the system's "File exists" does not say why); empty when there is none.
std::string dangling_symlink_in(const std::string& path) {
  std::filesystem::path prefix;
  for (const auto& part : std::filesystem::path(path)) {
    prefix /= part;
    std::error_code ec;
    if (!std::filesystem::is_symlink(prefix, ec) || std::filesystem::exists(prefix, ec)) continue;
    const auto target = std::filesystem::read_symlink(prefix, ec);
    return "\"" + printable_path(prefix.string()) + "\" is a symbolic link to \"" +
           printable_path(target.string()) +
           "\", which does not exist";
  }
  return "";
}

}  // namespace

bool create_output_directory(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec || !std::filesystem::is_directory(path, ec)) {
    const std::string dangling = dangling_symlink_in(path);
    std::cerr << "cannot create the output folder \"" << printable_path(path) << "\": "
              << (!dangling.empty() ? dangling : ec ? ec.message() : std::string("not a folder"))
              << std::endl;
    return false;
  }
  return true;
}

bool lock_output_directory(const std::string& path, int& fd) {
  // The folder itself carries the lock, so a run leaves nothing behind for it.
  fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "cannot open the output folder \"" << printable_path(path)
              << "\": " << std::strerror(errno)
              << std::endl;
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      ::close(fd);
      fd = -1;
      // Any program may lock the folder; most often it is another run.
      std::cerr << "the output folder \"" << printable_path(path)
                << "\" is locked by another process (another tessivar run?)" << std::endl;
      return false;
    }
    // A file system without locks: go on unlocked, as a run could before.
  }
  return true;
}

namespace {

// Where the mount that holds the open folder `fd` stands in this process's table of mounts.
enum class FolderMount {
  kListed,                  // in the table (or the table cannot be read)
  kDetachedFileSystemKept,  // detached (`umount -l`), its file system still mounted elsewhere
  kDetachedFileSystemGone,  // detached, its file system mounted nowhere else
};

FolderMount folder_mount(int fd, dev_t dev) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
    return FolderMount::kListed;
  std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (!table) return FolderMount::kListed;
  bool listed = false, device_mounted = false;
  char line[8192];
  while (std::fgets(line, sizeof line, table)) {
    unsigned long long id = 0;
    unsigned major_id = 0, minor_id = 0;
    if (std::sscanf(line, "%llu %*u %u:%u", &id, &major_id, &minor_id) == 3) {
      listed |= id == sx.stx_mnt_id;
      device_mounted |= makedev(major_id, minor_id) == dev;
    }
    // A line longer than the buffer goes on in the next read: skip the rest of it.
    while (!std::strchr(line, '\n') && std::fgets(line, sizeof line, table)) {
    }
  }
  std::fclose(table);
  if (listed) return FolderMount::kListed;
  return device_mounted ? FolderMount::kDetachedFileSystemKept
                        : FolderMount::kDetachedFileSystemGone;
}

}  // namespace

std::string output_folder_note(const std::string& path, int fd, bool& kept) {
  kept = true;
  struct stat held;
  if (fd < 0 || ::fstat(fd, &held) != 0) return "";
  // Why a name could not be checked, when it could not: a folder on the way that the user may
  // not search, a path grown past PATH_MAX or a symlink loop says nothing of the folder itself.
  int unchecked = 0;
  const auto doubt = [&](int error) {
    if (!unchecked && (error == EACCES || error == ENAMETOOLONG || error == ELOOP))
      unchecked = error;
  };
  const auto leads_to_it = [&](const std::string& name) {
    struct stat named;
    if (::stat(name.c_str(), &named) == 0)
      return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
    doubt(errno);
    return false;
  };
  const std::string folder = "the output folder \"" + printable_path(path) + "\" ";
  if (held.st_nlink == 0) {
    kept = false;
    return folder + "was removed during the run; its models could not be kept";
  }
  if (leads_to_it(path)) return "";
  // The kernel's name for the open folder is only a hint: the folder of a detached mount is
  // named from that mount's root, a folder under a covered mount keeps its old name, and a name
  // may end in " (deleted)" of its own. Only a name that leads to the very folder is given.
  std::vector<char> target(1 << 16);
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target.data(),
                               target.size());
  if (n < 0) doubt(errno);
  const std::string where = n > 0 ? std::string(target.data(), std::size_t(n)) : "";
  if (!where.empty() && where[0] == '/' && leads_to_it(where))
    return folder + "was moved or replaced during the run; its models are in \"" +
           printable_path(where) + "\"";
  // A detached bind mount leaves the folder in its source, which this run cannot name; a
  // detached file system mounted nowhere else goes with the run's end.
  const FolderMount mount = folder_mount(fd, held.st_dev);
  if (mount == FolderMount::kDetachedFileSystemKept)
    return folder + "could not be checked at the end of the run: the mount it was reached "
                    "through was detached, but its file system is still mounted (a bind mount's "
                    "models are in its source)";
  if (mount == FolderMount::kListed && unchecked != 0)
    return folder + "could not be checked at the end of the run (" + std::strerror(unchecked) +
           "); its models were written into it";
  kept = false;
  return folder + "was unmounted or hidden by another mount during the run: no name leads to it "
                  "any more, and its models could not be kept";
}

bool check_output_writable(const std::string& path, int folder_fd, std::size_t name_length) {
  // A probe file tells more than access(), which a privileged user always passes.
  const std::string base = ".tessivar-write-test-" + std::to_string(getpid()) + "-";
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    std::string name = base + std::to_string(attempt) + "-";
    if (name.size() < name_length) name.append(name_length - name.size(), 'x');
    const int fd = ::openat(folder_fd, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      ::unlinkat(folder_fd, name.c_str(), 0);
      return true;
    }
    error = errno;
  }
  std::cerr << "cannot write into the output folder \"" << printable_path(path)
            << "\": " << std::strerror(error)
            << std::endl;
  return false;
}

namespace {

// NAME.tmp-PID-N as the model writer makes it: the process id and the attempt in decimal.
bool stale_temporary_pid(const std::string& entry, const std::vector<std::string>& names,
                         pid_t& pid) {
  for (const std::string& model : names) {
    const std::string prefix = model + ".tmp-";
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = entry.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 9 || dash + 1 == rest.size() ||
        rest.size() - dash - 1 > 2)
      return false;
    if (rest.find_first_not_of("0123456789") != dash ||
        rest.find_first_not_of("0123456789", dash + 1) != std::string::npos)
      return false;
    pid = pid_t(std::stol(rest.substr(0, dash)));
    return pid > 0;
  }
  return false;
}

}  // namespace

void remove_stale_temporaries(const std::string& folder, int folder_fd,
                              const std::vector<std::string>& names) {
  if (folder_fd < 0) return;
  const int list_fd = ::dup(folder_fd);
  DIR* dir = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr;
  if (!dir) {
    if (list_fd >= 0) ::close(list_fd);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(dir)) {
    pid_t pid = 0;
    struct stat st;
    if (!stale_temporary_pid(e->d_name, names, pid)) continue;
    if (::fstatat(folder_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (::kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(e->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : stale)
    if (::unlinkat(folder_fd, name.c_str(), 0) == 0)
      std::cout << "removed \"" << printable_path(folder + "/" + name)
                << "\", left by a run that ended during a model write" << std::endl;
}

bool check_model_names(const std::string& folder, int folder_fd,
                       const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    struct stat st;
    // Only a regular file or a symlink (which the write replaces) may stand at a model's name.
    if (::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
        !S_ISLNK(st.st_mode)) {
      std::cerr << "cannot write the model \"" << printable_path(folder + "/" + name)
                << "\": it exists and is not a regular file" << std::endl;
      return false;
    }
  }
  return true;
}

void remove_backface_points(std::vector<Particle>& particles, std::vector<float>& offsets,
                            std::vector<float3>& normals, const std::vector<Camera*>& cameras,
                            float radius, int max_count) {
  std::cout << "removing invalid backface points\n";
  std::vector<int> flags;
  backface_visibility_test(flags, particles, offsets, normals, cameras, radius);
  threshold_particles<int>(flags, particles, offsets, normals, 0, max_count);
}

float superpixel_radius(int width, int height, int count) {
  const float area = float(width * height) / float(count);
  return float(std::sqrt(double(area) / M_PI));
}

namespace {

// The output folder, before the work: created, opened and locked (the lock is held until the
// run returns or the process ends), checked to take the longest name the run creates and to hold
// nothing but files at the model names, and swept of what runs killed during a write left.
// Returns false after printing why not.
bool prepare_output_folder(OutputFolder& folder) {
  if (!create_output_directory(output_directory)) return false;
  if (!lock_output_directory(output_directory, folder.fd)) return false;
  std::vector<std::string> model_names = {"model_superpixel.ply", "model.ply"};
  if (use_backface_visibility_test) {
    model_names.push_back("model_bf_removal1.ply");
    model_names.push_back("model_bf_removal2.ply");
  }
  // The longest name the run creates in the folder: a model's temporary file, NAME.tmp-PID-N
  // with a pid of up to ten digits and N up to 99.
  std::size_t longest_name = 0;
  for (const std::string& name : model_names)
    longest_name = std::max(longest_name, name.size() + std::strlen(".tmp-") + 10 + 3);
  if (!check_output_writable(output_directory, folder.fd, longest_name)) return false;
  if (!check_model_names(output_directory, folder.fd, model_names)) return false;
  remove_stale_temporaries(output_directory, folder.fd, model_names);
  return true;
}

// What the stages of a run share, from the reading of the camera files on.
struct Run {
  Run(CurrentStage& stage, OutputFolder& folder, std::vector<std::string> files)
      : stage(stage), folder(folder), camera_files(std::move(files)) {}

  CurrentStage& stage;
  OutputFolder& folder;
  StageClock clock;
  std::vector<std::string> camera_files;
  std::vector<Camera> cameras;
  std::vector<Camera*> camera_list;
  std::vector<CMatrix<float>> depthmaps;
  std::vector<std::vector<Superpixel>> superpixels;
  ParticleSet sp;     // one point per superpixel, all cameras
  ParticleSet dense;  // points from the depth maps
  StageLog sp_log, dense_log;
  bool sp_empty = false;  // the superpixel model was empty
  // The first camera sets the radii of the run: its focal length and superpixel radius.
  float fx = 0.0f, r = 0.0f;
};

// 3. Scene input: cameras with their colour images, and depth maps in world units; 4. the depth
// range, and the checks of the cameras as a set.
void read_scene(Run& run) {
  const std::size_t n = run.camera_files.size();
  run.cameras.resize(n);
  run.depthmaps.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    run.stage.set("reading the files", i);
    read_camera_file(run.camera_files[i], int(i), run.cameras[i], run.depthmaps[i]);
    run.camera_list.push_back(&run.cameras[i]);
  }
  run.clock.lap("read");

  run.stage.set("computing the depth range");
  const std::vector<MapDepths> measured = measure_depth_maps(run.depthmaps);
  compute_depth_range(measured, depth_range_min, depth_range_max);
  std::cout << "minimum depth = " << depth_range_min << std::endl;
  std::cout << "maximum depth = " << depth_range_max << std::endl;
  std::cerr << depth_avg_warning(average_depth, mean_valid_depth(measured)) << std::flush;

  // The smallest radius, a support test's, sizes the cells of the point grid, which every
  // camera's points must fit.
  const Camera& first = run.cameras[0];
  run.fx = first.K[0];
  run.r = superpixel_radius(first.width, first.height, superpixel_count);
  check_camera_set(run.cameras, run.depthmaps, run.camera_files, average_depth, run.r,
                   depth_range_max);
}

// 5. to 8.: the superpixel level, from one point per superpixel of every camera to the
// superpixel model.
void superpixel_level(Run& run) {
  ParticleSet& sp = run.sp;
  run.superpixels.resize(run.cameras.size());
  for (std::size_t i = 0; i < run.cameras.size(); ++i) {
    run.stage.set("computing the superpixels", i);
    create_superpixels(run.superpixels[i], run.depthmaps[i], run.cameras[i].image, run.cameras[i],
                       average_depth, superpixel_count);
    run.stage.set("making the points of the superpixels", i);
    create_particles_from_superpixels(sp.particles, sp.offsets, sp.normals, run.superpixels[i],
                                      CMatrix<float>(), CMatrix<float3>(), run.depthmaps[i],
                                      run.cameras[i]);
  }
  run.clock.lap("superpixels");
  run.sp_log.made("from the superpixels", sp.particles.size());
  // 6. Filter pass of the superpixel level.
  const float R_sp = run.r * 9.0f * average_depth / run.fx;
  std::cout << " Filter particles,     radius = " << R_sp << std::endl;
  std::cout << "                   #particles = " << sp.particles.size() << std::endl;
  run.stage.set("filtering the superpixel points");
  filter_particles(sp.particles, sp.offsets, sp.normals, alpha_sp, beta_sp, R_sp, 50, 50,
                   gradient_descent_timestep_sp, 50, "particles");
  run.clock.lap("sp_filter");

  // 7. Support test of the superpixel level.
  run.stage.set("testing the support of the superpixel points");
  run.sp_log.step(
      with_option("the superpixel support test", "--min-support-sp", min_support_sp), sp,
      [&] { support_test(sp, run.r * average_depth / run.fx, min_support_sp); });
  run.clock.lap("sp_support");

  // 8. Viewer and the superpixel model.
  sendParticlesToOstrel(sp.particles, sp.offsets, std::vector<float3>(), "particles",
                        debug_ostrel_particle_iteration);
  ++debug_ostrel_particle_iteration;
  write_model(sp, "model_superpixel.ply", run.stage, run.folder);
  run.clock.lap("ply_output");
}

// 9. Dense points: each camera's superpixel points drawn as its model depth and normals guide the
// points made from its depth map. The superpixel set is no longer needed afterwards.
void make_dense_points(Run& run) {
  ParticleSet& dense = run.dense;
  dense.clear();
  for (std::size_t i = 0; i < run.cameras.size(); ++i) {
    run.stage.set("making the dense points", i);
    CMatrix<float> model_depth;
    CMatrix<float3> model_normals;
    particles_to_images(model_depth, model_normals, run.sp.particles, run.sp.offsets,
                        run.sp.normals, run.superpixels[i], run.cameras[i], depth_range_min,
                        depth_range_max);
    create_particles_from_depthmap(dense.particles, dense.offsets, dense.normals, model_depth,
                                   model_normals, run.depthmaps[i], run.cameras[i].image,
                                   run.cameras[i], depth_range_min, depth_range_max);
  }
  run.sp_empty = run.sp.particles.empty();
  run.sp.clear();
  run.dense_log.made("from the depth maps", dense.particles.size());
  run.clock.lap("dense_points");
}

// 10. to 15.: the depth-map level, from the dense points to the final support test.
void dense_level(Run& run) {
  ParticleSet& dense = run.dense;
  StageLog& log = run.dense_log;
  // 10. Radii of the depth-map level.
  const float R_1 = average_depth / run.fx;
  const float R_5 = (5.0f * average_depth) / run.fx;

  // 11. Back-face removal, first time: keep points seen from behind by at most one camera.
  run.stage.set("removing back-face points");
  if (use_backface_visibility_test)
    log.step("the first back-face removal", dense, [&] {
      remove_backface_points(dense.particles, dense.offsets, dense.normals, run.camera_list, R_1,
                             kFirstBackfaceLimit);
    });

  // 12. Dense support test.
  run.stage.set("testing the support of the dense points");
  log.step(with_option("the first dense support test", "--min-support", min_support), dense,
           [&] { support_test(dense, R_1, min_support); });
  run.clock.lap("dense_support");

  // 13. Filter passes: one with the switches off; with improve_cameras four passes around three
  //     refinement cycles.
  const auto filter_pass = [&]() {
    std::cout << " Filter particles,     radius = " << R_5 << std::endl;
    std::cout << "                   #particles = " << dense.particles.size() << std::endl;
    run.stage.set("filtering the dense points");
    filter_particles(dense.particles, dense.offsets, dense.normals, alpha, beta, R_5, 2, 10,
                     gradient_descent_timestep, 5, "particles");
  };
  const auto cycle = [&](int pass) {
    run.stage.set("refinement cycle " + std::to_string(pass + 1));
    log.step("refinement cycle " + std::to_string(pass + 1), dense, [&] {
      refinement_cycle(dense, run.cameras, run.camera_list, run.depthmaps, pass);
    });
  };
  for (int pass = 0;; ++pass) {
    if (pass == 0) {
      if (improve_cameras) {
        filter_pass();
        cycle(pass);
      }
    } else if (pass <= 2 && improve_cameras) {
      cycle(pass);
    } else {
      break;
    }
    filter_pass();
  }
  run.clock.lap("dense_filter");

  // 14. Back-face removal, second time, between two models for comparison.
  if (use_backface_visibility_test) {
    write_model(dense, "model_bf_removal1.ply", run.stage, run.folder);
    run.stage.set("removing back-face points");
    log.step("the second back-face removal", dense, [&] {
      remove_backface_points(dense.particles, dense.offsets, dense.normals, run.camera_list, R_1,
                             kSecondBackfaceLimit);
    });
    write_model(dense, "model_bf_removal2.ply", run.stage, run.folder);
  }

  // 15. Final support test.
  run.stage.set("testing the support of the dense points");
  log.step(with_option("the final support test", "--min-support", min_support), dense,
           [&] { support_test(dense, R_1, min_support); });
  run.clock.lap("final_support");
}

int run_stages(int argc, char** argv, CurrentStage& stage, OutputFolder& folder) {
  // A file-size limit must end a model write with an error (and its temporary file removed), not
  // kill the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // A run whose standard output goes away (a closed pipe, a killed tee, a closed terminal) goes
  // on and writes its models; its progress text is lost, which is no failure of the run.
  std::signal(SIGPIPE, SIG_IGN);

  // 1. Command line, output folder.
  const CommandLine command_line = process_command_line(argc, argv);
  if (!command_line.run) return command_line.exit_code;
  if (!prepare_output_folder(folder)) return 1;

  if (improve_cameras) {
    std::size_t free_bytes = 0, total_bytes = 0;
    yv::rt::memGetInfo(&free_bytes, &total_bytes);
    std::cout << " cuda meminfo: free " << (free_bytes >> 20) << " MB   total "
              << (total_bytes >> 20) << " MB" << std::endl;
    cublas_dynamic.load();
  }

  // 2. Camera list.
  std::vector<std::string> camera_files;
  if (collect_camera_files(argc, argv, camera_files) != 0) return 1;
  stage.cameras(camera_files);
  n_keyframes = int(camera_files.size());
  // The refinement cycles dump their depth maps into it; made only once the camera list stands,
  // so that the exits above leave nothing but the output folder.
  if (improve_cameras && !create_output_directory(output_directory + "/debug")) return 1;

  // Which back end runs this, and on the host back end why: a run that falls back is visible.
  std::cout << yv::rt::backendDescription() << std::endl;
  stage.set("starting the threads (OMP_NUM_THREADS sets how many)");
  start_threads();
  stage.set("reading the files");

  Run run(stage, folder, std::move(camera_files));
  read_scene(run);
  superpixel_level(run);
  make_dense_points(run);
  dense_level(run);

  // 16. The dense model.
  write_model(run.dense, "model.ply", stage, folder);
  run.clock.lap("ply_output");
  // An empty model is no result, even though both files are valid.
  if (run.sp_empty) {
    report_empty_model("model_superpixel.ply", run.sp_log, run.cameras.size());
    return 1;
  }
  if (run.dense.particles.empty()) {
    report_empty_model("model.ply", run.dense_log, run.cameras.size());
    return 1;
  }
  return 0;
}

}  // namespace

int run_tessivar(int argc, char** argv) {
  // A failed allocation anywhere in the run is reported with the stage it stopped, so that the
  // user knows which camera or setting asks for the memory.
  CurrentStage stage;
  OutputFolder folder;
  try {
    const int code = run_stages(argc, argv, stage, folder);
    // Models that no name reaches are no result.
    bool kept = true;
    const std::string note = folder.end_note(kept);
    if (!note.empty()) std::cerr << note << std::endl;
    return kept ? code : 1;
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("out of memory while " + stage.describe() + folder.notes());
  } catch (const std::exception& e) {
    // A failed run that wrote models says which, after its error.
    if (folder.written.empty()) throw;
    throw std::runtime_error(e.what() + folder.notes());
  }
}
