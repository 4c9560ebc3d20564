// Running the project's binaries and reading the models they write, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace tessivar_e2e {

// Path of a binary of the build (TESSIVAR_BUILD_DIR, set by ctest).
std::string binary(const std::string& name);
std::string readFile(const std::string& path);

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs a binary of the build with the arguments; its output goes through files in `scratch`.
// `env` is prepended to the command line (for example "OMP_NUM_THREADS=1").
Result run(const std::string& program, const std::vector<std::string>& args,
           const std::string& scratch, const std::string& env = "");

// A PLY point model as tessivar writes it: header checked line by line, body size exact.
struct Model {
  long vertices = -1;
  std::string body;
};
Model readModel(const std::string& path);

}  // namespace tessivar_e2e
