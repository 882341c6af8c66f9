// BurnConfig.ini in the program folder: section "BurnConfig", key "Memory",
// the Java heap in megabytes for signapk.
#pragma once

#include <cstdint>
#include <string>

namespace tarnel {

inline constexpr const char* kBurnConfigName = "BurnConfig.ini";

// 1 when the file, the section or the key is missing.
[[nodiscard]] int32_t ReadJavaMemory(const std::string& appDir);

// Section "Signing", key "Signer": the signer of a Make run (keylist,
// pkcs11:<URI>, exec:<program>); empty when not set.
[[nodiscard]] std::string ReadSignerSetting(const std::string& appDir);

}  // namespace tarnel
