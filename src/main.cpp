// tessivar: fuses the depth maps of calibrated RGB-D cameras into oriented, coloured points.
#include <exception>
#include <iostream>

#include "driver.h"

int main(int argc, char** argv) {
  // Whatever a stage or reader throws ends the run with its message and a failure code.
  try {
    return run_tessivar(argc, argv);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
  } catch (...) {
    std::cout.flush();
    std::cerr << "tessivar: the run stopped on an error" << std::endl;
  }
  return 1;
}
