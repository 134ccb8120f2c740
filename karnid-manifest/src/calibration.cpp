// Placeholder until this verification step lands; the driver links against it.
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {

void verify_calibration(VerifyContext& /*ctx*/) {}  // TODO: implement this step

}  // namespace karnid::manifest
