// Stands in for the proxy core: takes its document from standard input with
// "run" "-c" "stdin:", then follows its script (see standin.hpp).
#include "standin.hpp"

int main(int argc, char** argv) {
  return standin::main(argc, argv, true);
}
