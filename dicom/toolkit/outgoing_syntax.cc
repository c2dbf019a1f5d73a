// The choice of the presentation context a stored file goes out on, and the
// conversion of its dataset to that context's transfer syntax.
#include "dicom/toolkit/outgoing_syntax.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/assoc.h>

#include <algorithm>

#include "dicom/toolkit/transcoder.h"

namespace vantor::dicom {

std::vector<AcceptedContext> AcceptedContexts(T_ASC_Association* assoc,
                                              const std::string& sop_class) {
  std::vector<AcceptedContext> out;
  if (assoc == nullptr || assoc->params == nullptr) return out;
  // Presentation context IDs are the odd numbers 1 to 255.
  for (int id = 1; id <= 255; id += 2) {
    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(
            assoc->params, static_cast<T_ASC_PresentationContextID>(id), &pc)
            .bad())
      continue;
    if (pc.resultReason != ASC_P_ACCEPTANCE || sop_class != pc.abstractSyntax)
      continue;
    out.push_back({static_cast<uint8_t>(id), pc.acceptedTransferSyntax});
  }
  return out;
}

uint8_t StoredSyntaxContext(T_ASC_Association* assoc,
                            const std::string& sop_class,
                            const std::string& stored_syntax) {
  if (stored_syntax.empty()) return 0;
  for (const AcceptedContext& c : AcceptedContexts(assoc, sop_class))
    if (c.transfer_syntax == stored_syntax) return c.id;
  return 0;
}

namespace {

// Why an accepted syntax is no choice for an image stored in `stored`.
std::string WhyNot(const std::string& stored, int bits,
                   const std::string& syntax) {
  if (!CanTranscode(stored, syntax))
    return "no conversion from " + stored + " to " + syntax;
  if (syntax == UID_JPEGProcess1TransferSyntax && bits > 8)
    return "JPEG baseline takes 8-bit images only, this one has " +
           std::to_string(bits) + " bits allocated";
  return syntax + " takes 16-bit images at most, this one has " +
         std::to_string(bits) + " bits allocated";
}

}  // namespace

uint8_t PrepareForContext(T_ASC_Association* assoc,
                          const std::string& sop_class,
                          const std::string& stored_syntax, DcmDataset& ds,
                          std::string& error) {
  const std::vector<AcceptedContext> contexts =
      AcceptedContexts(assoc, sop_class);
  if (contexts.empty()) {
    error = "the peer accepted no context for " + sop_class;
    return 0;
  }
  std::vector<std::string> syntaxes;
  for (const AcceptedContext& c : contexts)
    syntaxes.push_back(c.transfer_syntax);
  const std::vector<size_t> order =
      RankAcceptedSyntaxes(stored_syntax, PixelBitsAllocated(ds), syntaxes);
  std::string refusals;
  auto refused = [&](const std::string& why) {
    if (refusals.find(why) == std::string::npos)
      refusals += (refusals.empty() ? "" : "; ") + why;
  };
  for (size_t i : order) {
    std::string why = ConvertDataset(ds, stored_syntax, syntaxes[i]);
    if (why.empty()) return contexts[i].id;
    refused(why);
  }
  for (size_t i = 0; i < syntaxes.size(); ++i)
    if (std::find(order.begin(), order.end(), i) == order.end())
      refused(WhyNot(stored_syntax, PixelBitsAllocated(ds), syntaxes[i]));
  std::string accepted;
  for (const std::string& s : syntaxes)
    accepted += (accepted.empty() ? "" : ", ") + s;
  error = "the peer accepted no context for " + sop_class + " in " +
          stored_syntax + " or a syntax it converts to (accepted: " + accepted +
          ")" + (refusals.empty() ? "" : ": " + refusals);
  return 0;
}

std::string ConvertDataset(DcmDataset& ds, const std::string& from_syntax,
                           const std::string& to_syntax) {
  const E_TransferSyntax target = DcmXfer(to_syntax.c_str()).getXfer();
  if (target == EXS_Unknown) return "unknown transfer syntax " + to_syntax;
  if (to_syntax == from_syntax && ds.canWriteXfer(target)) return "";
  const int bits = PixelBitsAllocated(ds);
  if (to_syntax == UID_JPEGProcess1TransferSyntax && bits > 8)
    return "JPEG baseline takes 8-bit images only, this one has " +
           std::to_string(bits) + " bits allocated";
  OFString instance;
  ds.findAndGetOFString(DCM_SOPInstanceUID, instance);
  OFCondition cond = ds.chooseRepresentation(target, nullptr);
  if (cond.bad())
    return "cannot convert from " + from_syntax + " to " + to_syntax + ": " +
           cond.text();
  if (!ds.canWriteXfer(target))
    return "cannot convert from " + from_syntax + " to " + to_syntax;
  // The same instance in another encoding: a codec that made a new UID
  // for a lossy encoding is overruled.
  OFString now;
  ds.findAndGetOFString(DCM_SOPInstanceUID, now);
  if (!instance.empty() && now != instance)
    ds.putAndInsertString(DCM_SOPInstanceUID, instance.c_str());
  return "";
}

int PixelBitsAllocated(DcmDataset& ds) {
  if (!ds.tagExists(DCM_PixelData)) return 0;
  Uint16 bits = 0;
  if (ds.findAndGetUint16(DCM_BitsAllocated, bits).bad()) return 0;
  return bits;
}

}  // namespace vantor::dicom
