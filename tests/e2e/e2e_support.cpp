#include "e2e/e2e_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tessivar_e2e {

std::string binary(const std::string& name) {
  const char* dir = std::getenv("TESSIVAR_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {
std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

Result run(const std::string& program, const std::vector<std::string>& args,
           const std::string& scratch, const std::string& env) {
  std::string cmd = (env.empty() ? "" : env + " ") + quote(binary(program));
  for (const std::string& a : args) cmd += " " + quote(a);
  cmd += " >" + quote(scratch + "/stdout") + " 2>" + quote(scratch + "/stderr");
  const int status = std::system(cmd.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(scratch + "/stdout");
  r.err = readFile(scratch + "/stderr");
  return r;
}

Model readModel(const std::string& path) {
  const std::string text = readFile(path);
  const std::string end = "end_header\n";
  const std::size_t header_end = text.find(end);
  EXPECT_NE(header_end, std::string::npos) << path;
  Model m;
  if (header_end == std::string::npos) return m;
  std::istringstream header(text.substr(0, header_end));
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(header, line)) lines.push_back(line);
  const std::vector<std::string> properties = {
      "property float x",  "property float y",  "property float z",
      "property float nx", "property float ny", "property float nz",
      "property uchar diffuse_red", "property uchar diffuse_green",
      "property uchar diffuse_blue", "property float psz"};
  EXPECT_EQ(lines.size(), 3 + properties.size()) << path;
  if (lines.size() != 3 + properties.size()) return m;
  EXPECT_EQ(lines[0], "ply");
  EXPECT_EQ(lines[1], "format binary_little_endian 1.0");
  EXPECT_EQ(lines[2].rfind("element vertex ", 0), 0u);
  for (std::size_t i = 0; i < properties.size(); ++i) EXPECT_EQ(lines[3 + i], properties[i]);
  m.vertices = std::stol(lines[2].substr(15));
  m.body = text.substr(header_end + end.size());
  EXPECT_EQ(m.body.size(), std::size_t(m.vertices) * 31) << path;
  return m;
}

}  // namespace tessivar_e2e
