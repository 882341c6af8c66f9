// Message texts of the image signers and of the run's RSA signer. "%s" takes
// the file's path unless said otherwise.
#pragma once

namespace tarnel {

// The run's RSA signer: the key list, a PKCS#11 token or a signing helper.
// Messages of the signers. The PIN and the URI (which may carry a pin-value)
// never appear in them.
inline constexpr const char* kMsgSignerUnknown =
    "Unknown signer \"%s\": give keylist, pkcs11:<URI> or exec:<program>!";
inline constexpr const char* kMsgPublicKeyLines = "The %s public key lines of the key list do not form an RSA key!";
inline constexpr const char* kMsgSignatureMismatch =
    "The signature made by %s with the %s key does not verify with the %s public key of the key list!";
inline constexpr const char* kMsgPkcs11BadUri = "The PKCS#11 URI of the signer is not valid: %s!";
inline constexpr const char* kMsgPkcs11NoModulePath = "The PKCS#11 URI of the signer names no module-path!";
inline constexpr const char* kMsgPkcs11ModuleLoad = "Failed to load the PKCS#11 module %s!";
inline constexpr const char* kMsgPkcs11NoToken = "No PKCS#11 token of the module %s matches the signer URI!";
inline constexpr const char* kMsgPkcs11NoPin = "No PIN was given for the token \"%s\"!";
inline constexpr const char* kMsgPkcs11PinFile = "Failed to read the PIN file %s!";
inline constexpr const char* kMsgPkcs11WrongPin = "The PIN for the token \"%s\" is wrong!";
inline constexpr const char* kMsgPkcs11Locked = "The token \"%s\" is locked: its PIN was entered wrongly too often!";
inline constexpr const char* kMsgPkcs11Session = "Failed to open a session on the token \"%s\" (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgPkcs11KeyMissing =
    "The token \"%s\" holds no private key for the %s key (SHA-256 of its modulus: %s)!";
inline constexpr const char* kMsgPkcs11SignFailed =
    "The token \"%s\" failed to sign with the %s key (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgPkcs11KeygenFailed =
    "Failed to generate the %s key in the token \"%s\" (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgKeygenRandomFailed = "Failed to generate the 128-bit keys!";
inline constexpr const char* kMsgHelperStart = "The signing helper %s could not be started for the %s key!";
inline constexpr const char* kMsgHelperExit = "The signing helper %s failed for the %s key (exit status %d)!";
inline constexpr const char* kMsgHelperTimeout = "The signing helper %s did not answer for the %s key within %d s!";
inline constexpr const char* kMsgHelperLength =
    "The signing helper %s answered %s bytes for the %s key instead of a 256-byte signature!";
inline constexpr const char* kMsgHelperPublicKey = "Failed to write the %s public key file %s for the signing helper!";
inline constexpr const char* kMsgHelperNotAbsolute = "The signing helper %s must be given as an absolute path!";
inline constexpr const char* kMsgPkcs11ModuleNotAbsolute = "The PKCS#11 module-path %s must be an absolute path!";
inline constexpr const char* kMsgPkcs11PinFileAccess =
    "The PIN file %s must be owned by you and readable by you alone!";
inline constexpr const char* kMsgSignerKeyListOnly =
    "%s holds only the keys of the key list; the upgrade archive's key can be read from its file or a PKCS#11 token!";
inline constexpr const char* kMsgArchiveSignatureMismatch =
    "The signature made by %s with the archive key does not verify with the public key of the certificate!";
// The detail after a failed signature when the key list's private lines are placeholders.
inline constexpr const char* kMsgPlaceholderLines = "lines %s are placeholders: sign with --signer";
inline constexpr const char* kMsgPinValueOnCommandLine =
    "A pin-value in --signer can be seen by every user in the process list: name a file holding the PIN with "
    "pin-source=file:<path> instead";

// Signing an image whole.
inline constexpr const char* kMsgOpenFileFailed = "Open file %s failed!";
inline constexpr const char* kMsgReadMpiFailed = "Failed to read mpi file!";
inline constexpr const char* kMsgMakeSignFailed = "Failed to make the sign!";
inline constexpr const char* kMsgMallocFileData = "Malloc FileData failed!!!";
// Conditions that used to pass silently; each names the file.
inline constexpr const char* kMsgCreateOutputFailed = "Failed to create the output file %s!";
inline constexpr const char* kMsgWriteOutputFailed = "Failed to write the output file %s!";
inline constexpr const char* kMsgReadSourceFailed = "Failed to read the file %s!";
inline constexpr const char* kMsgFileTooLarge = "The file %s is 4 GiB or larger and cannot be signed!";
inline constexpr const char* kMsgHashFailed = "Failed to compute the digest of %s!";

// Signing an image per 1 MiB section.
inline constexpr const char* kMsgSectionTooLarge = "Section size > File length/2!";
inline constexpr const char* kMsgMallocFilebuffer = "Malloc Filebuffer failed!!!";
inline constexpr const char* kMsgOpenSignFileFailed = "Open %s file failed!";

// Ext4 sparse images.
inline constexpr const char* kMsgFileBeingUsed = "file %s is being used!";
inline constexpr const char* kMsgMallocSignFileData = "Malloc SignFileData failed!!!";
inline constexpr const char* kMsgInvalidSparse = "invalid sparse Ext4 format";
inline constexpr const char* kMsgMallocTailFile = "Malloc fpTailFile failed!!!";
inline constexpr const char* kMsgOpenDataFileFailed = "Open file failed!!!";
inline constexpr const char* kMsgExpandedTooLarge =
    "The sparse image %s expands to 4 GiB or more and cannot be signed!";
inline constexpr const char* kMsgDataFileClash =
    "The expanded data file %s would overwrite %s; choose another output folder or source folder!";

// The first-generation MAC containers.
inline constexpr const char* kMsgMacSourceNotFound = "Found not the source file!";
inline constexpr const char* kMsgMacOpenSourceFailed = "Failed to open the source file!";
inline constexpr const char* kMsgMacCreateDestinationFailed = "Failed to create the destination file!";
inline constexpr const char* kMsgBlockSizeZero = "nBlockSize is 0";
inline constexpr const char* kMsgSourceTooSmall = "The source file is too small, please select again!";
inline constexpr const char* kMsgMallocFailed = "malloc failed!";
// Geometry and size checks (page size, block size, source path or size).
inline constexpr const char* kMsgMacBadPageSize =
    "Invalid page size %u for %s: it must be a nonzero multiple of 16 that holds the %u-byte image header!";
inline constexpr const char* kMsgMacBadBlockSize =
    "Invalid block size %u for %s: it must be a nonzero multiple of the page size %u!";
inline constexpr const char* kMsgMacTooLarge =
    "The source file %s is too large: the signed image must stay below 4 GiB!";
inline constexpr const char* kMsgMacReadFailed = "Failed to read the source file %s!";
inline constexpr const char* kMsgMacWriteFailed = "Failed to write the destination file %s!";

// Yaffs images.
inline constexpr const char* kMsgYaffsBadPageSize =
    "Invalid page size %u for %s: it must be a multiple of 16 that divides 1048576 and holds the 116-byte image "
    "header!";
inline constexpr const char* kMsgYaffsBadBlockSize =
    "Invalid block size %u for %s: it must be a nonzero multiple of the page size %u!";
inline constexpr const char* kMsgYaffsTooLarge =
    "The source file %s is too large: the sealed image must stay below 4 GiB!";

}  // namespace tarnel
