// vantor [instance]: the DICOM service of one instance of the archive.
// vantor --check [instance]: checks that instance's configuration.
#include <iostream>
#include <string>

#include "host/allocator.h"
#include "host/config_check.h"
#include "host/service.h"

int main(int argc, char** argv) {
  const bool check = argc > 1 && std::string(argv[1]) == "--check";
  // The command line only selects the instance; it is taken as one text.
  std::string command_line;
  for (int i = check ? 2 : 1; i < argc; ++i) {
    if (i > (check ? 2 : 1)) command_line += ' ';
    command_line += argv[i];
  }
  if (check) return vantor::CheckConfiguration(command_line, std::cout);
  vantor::BoundAllocator();
  return vantor::Main(command_line);
}
