// Stands in for the tunnel core: records its arguments and follows its
// script (see standin.hpp).
#include "standin.hpp"

int main(int argc, char** argv) {
  return standin::main(argc, argv, false);
}
