#include "common/signing_context.h"

#include <openssl/crypto.h>

namespace tarnel {

SigningContext::~SigningContext() {
  OPENSSL_cleanse(imageMacKey.data(), imageMacKey.size());
  OPENSSL_cleanse(rootKey.data(), rootKey.size());
}

}  // namespace tarnel
