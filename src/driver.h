// The road of a run: command line, output folder, cameras and depth maps, depth range, the
// fusion stages in their fixed order, and the PLY models.
#pragma once

#include <string>
#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "keyframe_depth_range.h"
#include "particles.h"

// Runs tessivar on the arguments of main; returns the exit code. Errors of the stages and
// readers are thrown as exceptions for main to report.
int run_tessivar(int argc, char** argv);

// Creates the output folder and any missing parents (never through a shell). Returns false after
// printing a message naming the folder when it cannot be created.
bool create_output_directory(const std::string& path);

// Opens the output folder and takes an exclusive lock on it, so that two runs cannot mix their
// models in one folder; the lock lasts until `fd` (the open folder, -1 when none) is closed. The
// run then reaches the folder only through `fd`, so its models land in the folder it locked even
// when the name is moved or repointed meanwhile. Returns false after printing a message naming
// the folder when another process holds the lock (or the folder cannot be opened); a file
// system without locks is no failure.
bool lock_output_directory(const std::string& path, int& fd);

// What became of the output folder `path`, which the run holds open as `fd`, by the end of the
// run: empty, with `kept` true, while `path` still leads to that folder (the same device and
// inode; through a symlink too). Otherwise a note: where the folder is now, with `kept` true,
// when the system's name for the open folder is checked to lead to it; that the folder could not
// be checked, with `kept` true, when a name could not be followed (a folder on the way that may
// not be searched, a path longer than PATH_MAX, a symlink loop) or the folder's mount was
// detached while its file system stays mounted (a bind mount's source); that its models could not
// be kept, with `kept` false, when the folder was removed or no name leads to it any more (its
// file system unmounted, or covered by another mount).
std::string output_folder_note(const std::string& path, int fd, bool& kept);

// Checks that the open folder takes a file whose name has `name_length` characters (the longest
// the run creates there), by creating and removing one. A folder that takes no files must fail
// now, not after hours of work. Returns false after printing a message naming the folder.
bool check_output_writable(const std::string& path, int folder_fd, std::size_t name_length);

// Removes what runs that were killed during a model write left in the folder: entries named
// exactly NAME.tmp-PID-N, NAME one of `names`, that are regular files (a symlink is removed by no
// one but its owner) and whose process PID no longer exists. `folder_fd` is the open folder;
// call it while holding the folder's lock. Prints a line for each file removed.
void remove_stale_temporaries(const std::string& folder, int folder_fd,
                              const std::vector<std::string>& names);

// Checks, before the work, that nothing but a regular file or a symlink stands at any of the
// model names in the open folder. Returns false after printing a message naming the first that
// fails (folder/name).
bool check_model_names(const std::string& folder, int folder_fd,
                       const std::vector<std::string>& names);

// Radius in pixels of a superpixel when `count` of them cover a width x height image:
// sqrt(width * height / count / pi).
float superpixel_radius(int width, int height, int count);

// Back-face removal: the points that more than `max_count` cameras see from behind (in front of
// the surface the model shows them, see backface_visibility_test) are removed. The run removes
// with kFirstBackfaceLimit before the dense support test and with kSecondBackfaceLimit after the
// filter passes.
const int kFirstBackfaceLimit = 1;
const int kSecondBackfaceLimit = 2;
void remove_backface_points(std::vector<Particle>& particles, std::vector<float>& offsets,
                            std::vector<float3>& normals, const std::vector<Camera*>& cameras,
                            float radius, int max_count);
