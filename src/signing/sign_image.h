// The whole-image RSA signer: the source bytes, 0xFF fill to a multiple of
// 8192, then one 8192-byte signature block.
#pragma once

#include <string>

#include "signing/run_services.h"
#include "signing/crypto.h"
#include "signing/image_headers.h"
#include "signing/signer.h"

namespace tarnel {

// Opens an image to sign and takes its length: "Open file %s failed!" when it
// cannot be opened, the 4 GiB message when its length does not fit the
// headers' 32-bit fields.
[[nodiscard]] bool OpenSourceImage(RunServices& ctx, InFile& source, const std::string& sourcePath,
                                   uint64_t& length);

[[nodiscard]] bool SignImageFile(RunServices& ctx, const std::string& outputPath, const std::string& sourcePath);
// The same into `output`, which is left complete but not committed, for a
// signer that commits it together with another file.
[[nodiscard]] bool SignImageFileInto(RunServices& ctx, OutFile& output, const std::string& outputPath,
                                     const std::string& sourcePath);

// The run's signer: the one the run opened, else (a signer called on its own)
// the key list's, made on first use.
[[nodiscard]] Signer& RunSigner(RunServices& ctx);
// Makes the signer that ctx.signerSpec names and opens it (a token is logged
// in); shows the signer's message and returns false when that fails.
[[nodiscard]] bool OpenRunSigner(RunServices& ctx);

// Checks that the external key can sign, before anything is written; shows
// the signer messages on failure ("Failed to read mpi file!" when the key
// lines are missing, "Failed to make the sign!" when they do not form a key,
// a token's or helper's own message first).
[[nodiscard]] bool CheckSigningKey(RunServices& ctx);
// Signs a digest with the run's signer for `role`; on failure shows the back
// end's message (if any), then `linesMissingMessage` or `signFailedMessage`.
[[nodiscard]] bool SignWithRunSigner(RunServices& ctx, KeyRole role, const uint8_t* digest32,
                                     uint8_t* signature256, const char* linesMissingMessage,
                                     const char* signFailedMessage);

// Shows why a signature could not be made: the back end's message (if any),
// then `linesMissingMessage` or `signFailedMessage`. Returns false.
bool ShowSignError(RunServices& ctx, const SignError& error, const char* linesMissingMessage,
                   const char* signFailedMessage);

}  // namespace tarnel
