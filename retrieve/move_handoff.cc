#include "retrieve/move_handoff.h"

namespace vantor {

bool ImagePrepareForSend(Database&, const dicom::Dataset&, bool, bool,
                         const std::string&, int32_t, const std::string&) {
  return false;
}

}  // namespace vantor
