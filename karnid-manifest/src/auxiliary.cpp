// Placeholder until this verification step lands; the driver links against it.
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {

void check_auxiliary_declarations(VerifyContext& /*ctx*/) {}  // TODO: implement this step

void verify_auxiliary_files(VerifyContext& /*ctx*/) {}  // TODO: implement this step

}  // namespace karnid::manifest
