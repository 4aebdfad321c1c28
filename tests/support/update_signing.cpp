#include "tests/support/update_signing.h"

#include "tests/support/service_process.h"

std::string UpdateSigningKey() { return QUARLO_UPDATE_SIGNING_KEY_FILE; }

bool SignPackage(const std::string& package, const std::string& key) {
  return RunProgram({"/usr/bin/openssl", "dgst", "-sha256", "-sign", key, "-out", package + ".sig", package})
             .exitCode == 0;
}

bool MakeOtherSigningKey(const std::string& path) {
  return RunProgram({"/usr/bin/openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                     "ec_paramgen_curve:P-256", "-out", path})
             .exitCode == 0;
}
