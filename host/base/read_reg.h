// The configuration pass: reads the registry file afresh and publishes the
// next settings snapshot.
#ifndef VANTOR_HOST_BASE_READ_REG_H_
#define VANTOR_HOST_BASE_READ_REG_H_

namespace vantor {

// One pass over the default key and the instance key of the current
// snapshot. Values not read in this pass (after a failure, which is logged
// under "ReadReg") keep the previous pass's values; the fallbacks always run.
// Never throws. The protocol log is the host's to adjust after the pass
// (host/configuration_pass.h).
void ReadReg();

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_READ_REG_H_
