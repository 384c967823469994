// Stands in for the desktop application: records that it started, with its
// arguments and working folder, and follows its script (see standin.hpp).
#include "standin.hpp"

int main(int argc, char** argv) {
  return standin::main(argc, argv, false);
}
