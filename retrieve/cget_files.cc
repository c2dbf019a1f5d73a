#include "retrieve/cget_files.h"

namespace vantor {

void PrepareSendCGet(Database&, const dicom::Dataset&, bool, bool,
                     std::vector<std::string>& files) {
  files.clear();
}

}  // namespace vantor
