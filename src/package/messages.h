// Message texts of the native archive signer. Each names the file and says
// what is wrong with it; "%s" takes the file's path unless said otherwise.
#pragma once

namespace tarnel {

// The certificate and the key.
inline constexpr const char* kMsgApkCertUnreadable = "Cannot read the certificate %s: it is neither a DER nor a PEM X.509 certificate.";
inline constexpr const char* kMsgApkCertAlgorithm =
    "The certificate %s is signed with %s; signapk takes only certificates signed with SHA1withRSA, MD5withRSA or "
    "SHA256with...";
inline constexpr const char* kMsgApkCertKeyType = "The certificate %s holds a %s key; signapk signs only with RSA or EC keys.";
inline constexpr const char* kMsgApkCertEc =
    "The certificate %s holds an EC key: signapk's ECDSA signatures are random, so no other signer can write its "
    "bytes. Sign this archive with Java.";
inline constexpr const char* kMsgApkCertNotDer =
    "The certificate %s is not in the distinguished encoding (DER): signapk embeds it re-encoded, so no other signer "
    "can write its bytes. Sign this archive with Java.";
inline constexpr const char* kMsgApkKeyUnreadable = "Cannot read the private key %s: it is not a PKCS#8 DER private key.";
inline constexpr const char* kMsgApkKeyEncrypted =
    "The private key %s is an encrypted PKCS#8 key; signapk would ask for its password. Decrypt it, or sign with Java.";
inline constexpr const char* kMsgApkKeyNotRsa = "The private key %s is not an RSA key, but the certificate holds one.";
inline constexpr const char* kMsgApkSignFailed = "Cannot sign with the private key %s.";

// The input archive: "%s" is the archive, the second "%s" the entry's name
// where there is one.
inline constexpr const char* kMsgApkInputUnreadable = "Cannot read the archive %s.";
inline constexpr const char* kMsgApkInputEmpty = "The archive %s is empty.";
inline constexpr const char* kMsgApkNoEndRecord = "%s is not a ZIP archive: no end of central directory record.";
inline constexpr const char* kMsgApkBadDirectory = "The central directory of %s is damaged.";
inline constexpr const char* kMsgApkEncryptedEntry = "The archive %s holds an encrypted entry: %s.";
inline constexpr const char* kMsgApkBadMethod = "The archive %s holds the entry %s with compression method %u; only stored and deflated entries can be signed.";
inline constexpr const char* kMsgApkBadName = "The archive %s holds an entry whose name is not valid UTF-8.";
inline constexpr const char* kMsgApkBadExtra = "The archive %s holds the entry %s with a damaged extra field.";
inline constexpr const char* kMsgApkDuplicate = "The archive %s holds the entry %s more than once.";
inline constexpr const char* kMsgApkBadLocal = "The archive %s: the local header of %s is missing or damaged.";
inline constexpr const char* kMsgApkBadData = "The archive %s: the data of %s is truncated or damaged.";
inline constexpr const char* kMsgApkStoredMismatch =
    "The archive %s: the stored entry %s does not match the size or CRC-32 its directory gives.";
inline constexpr const char* kMsgApkPinHints =
    "The archive %s holds %s: signapk derives pinlist.meta from it with Java's regular expressions. Sign this "
    "archive with Java.";

// A file to be added to the archive.
inline constexpr const char* kMsgApkFileUnreadable =
    "Cannot add %s to the archive: it cannot be read, it changed while it was read, or it is 4 GiB or larger.";

// The output.
inline constexpr const char* kMsgApkCommentTooLong =
    "The signature does not fit into the archive comment of %s (%zu bytes, at most 65535).";
inline constexpr const char* kMsgApkSpuriousEnd =
    "The signature of %s contains the bytes of an end of central directory record, which signapk refuses.";
inline constexpr const char* kMsgApkWriteFailed = "Cannot write %s.";

// The upgrade package step.
inline constexpr const char* kMsgUpgradeFlashDiffers = "It must be the same for Flash Name to upgrade item!";
inline constexpr const char* kMsgUpgradeFlashNotFound = "Found not the flash config!";
inline constexpr const char* kMsgTemplateNotFound = "\"%s\" file not found!";
inline constexpr const char* kMsgCreatePackageFailed = "Failed to create the upgrade package!";
inline constexpr const char* kMsgAddToPackageFailed = "Failed to add the '%s' file to the upgrade package!";
inline constexpr const char* kMsgPackageFlashConfig = "Failed to get the flash config!";
// Java cannot run at all: named here, before the run's own message.
inline constexpr const char* kMsgJavaMissing = "Found not the Java runtime %s!";
inline constexpr const char* kMsgSignApkJarMissing = "Found not the signing tool %s!";
// The native signer refused an input that only Java signs the way signapk
// does: its reason, then this.
inline constexpr const char* kMsgArchiveJavaFallback = "%s Signing the upgrade package with Java instead.";

}  // namespace tarnel
