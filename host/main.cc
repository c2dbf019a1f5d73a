// vantor [instance]: the DICOM service of one instance of the archive.
#include <string>

#include "host/service.h"

int main(int argc, char** argv) {
  // The command line only selects the instance; it is taken as one text.
  std::string command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += ' ';
    command_line += argv[i];
  }
  return vantor::Main(command_line);
}
