// Placeholder until this verification step lands; the driver links against it.
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {

void check_row_identity_declaration(VerifyContext& /*ctx*/) {}  // TODO: implement this step

void verify_row_identity_file(VerifyContext& /*ctx*/) {}  // TODO: implement this step

}  // namespace karnid::manifest
