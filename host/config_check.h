// `vantor --check [instance]`: the configuration as the service would read
// it, with where every value came from, the folders, the archive database
// and the DICOM port, printed for an administrator.
#ifndef VANTOR_HOST_CONFIG_CHECK_H_
#define VANTOR_HOST_CONFIG_CHECK_H_

#include <ostream>
#include <string>

namespace vantor {

// Reads the registry of the instance chosen by `command_line` (as the
// service's own command line), prints every effective value with its source
// (file or default), the translated folders and whether they exist and are
// writable, opens the archive database and runs the node lookup once, and
// says whether the DICOM port is free. Like a start-up, it creates the
// incoming folders when missing. Returns 0 when the instance can start,
// 1 when any problem was found (each is a line starting "PROBLEM:").
int CheckConfiguration(const std::string& command_line, std::ostream& out);

}  // namespace vantor

#endif  // VANTOR_HOST_CONFIG_CHECK_H_
