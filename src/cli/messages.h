// Messages of tarnel-cli's own (the run's messages live in their modules).
#pragma once

namespace tarnel::cli {

// The version of the layout of every JSON document tarnel-cli prints.
inline constexpr int kReportSchema = 1;

// A report path in the program folder, outside its Output folder.
inline constexpr const char* kMsgReportInProgramFolder = "The output %s would replace a file of the program folder %s!";
inline constexpr const char* kMsgReportIsFolder = "The report %s is a folder!";
inline constexpr const char* kMsgReportWriteFailed = "cannot write the report %s: %s";

// verify --report: the report, then each file it lists.
inline constexpr const char* kMsgReportUnreadable = "cannot read the report %s: %s";
inline constexpr const char* kMsgCannotBeOpened = "cannot be opened";
inline constexpr const char* kMsgReportTooLarge = "the report %s is too large";
inline constexpr const char* kMsgReportReadFailed = "cannot read the report %s";
inline constexpr const char* kMsgNotAReport = "%s is not a report of tarnel-cli make";
inline constexpr const char* kMsgListedFileMissing = "FAIL %s: missing: listed in the report";
inline constexpr const char* kMsgListedFileNotRegular = "FAIL %s: not a regular file: listed in the report";
inline constexpr const char* kMsgListedFileUnreadable = "FAIL %s: cannot be read: %s";
inline constexpr const char* kMsgListedFileDiffers = "FAIL %s: SHA-256 differs from the report's";
inline constexpr const char* kMsgListedFileSize = "FAIL %s: size %llu, the report lists %llu";
// verify: what the files alone cannot tell.
inline constexpr const char* kMsgAndroidCertMissing = "the Android certificate %s does not exist";
inline constexpr const char* kMsgAndroidCertNotFile = "the Android certificate %s is not a regular file";
inline constexpr const char* kMsgKeyPartitionNeedsBoard =
    "%s: the key partition's layout depends on the board; give --board 0 or 1";

inline constexpr const char* kMsgWaitingForFolder = "tarnel-cli: waiting for the run that holds %s";
inline constexpr const char* kMsgHeaderPathsUnknown = "unknown header paths \"%s\"; give full or name";
inline constexpr const char* kMsgArchiveSignerUnknown =
    "unknown archive signer \"%s\"; give native, java or native-parallel";

// keylist import: reading the RSA key files.
inline constexpr const char* kMsgKeyFileUnreadable = "cannot read the key file %s: %s";
inline constexpr const char* kMsgKeyFileTooLarge = "%s is too large for a key file";
inline constexpr const char* kMsgKeyFilePublicOnly = "%s holds a public key only; give the private key";
inline constexpr const char* kMsgKeyFileNotAKey = "%s holds no private key in PEM or DER (PKCS #8 or PKCS #1)";
inline constexpr const char* kMsgKeyFileUndecryptable = "could not decrypt %s: no passphrase, or a wrong one";
inline constexpr const char* kMsgKeyFileNotRsa = "%s holds a key of type %s; the boards take RSA-2048 keys only";
inline constexpr const char* kMsgKeyFileWrongSize = "%s holds an RSA-%d key; the boards take RSA-2048 keys only";
inline constexpr const char* kMsgKeyFileUnusable =
    "the RSA key in %s cannot sign: its components do not form a two-prime key";
inline constexpr const char* kMsgKeyPassphrasePrompt = "Passphrase for %s: ";
inline constexpr const char* kMsgFileExists = "%s already exists; give --force to replace it";
inline constexpr const char* kMsgWriteFailed = "could not write %s";
inline constexpr const char* kMsgOutputIsInputFile = "the output %s would replace the input %s";
// keylist export-public and check.
inline constexpr const char* kMsgPublicLinesNoKey = "lines %s of %s do not form an RSA public key";
inline constexpr const char* kMsgPublicCopyDiffers =
    "lines 9-10 of %s hold another key than lines 1-2; see tarnel-cli keylist check";
inline constexpr const char* kMsgKeyListUnsound = "the key list %s cannot be used as it is";

// Usage and set-up errors of the commands.
inline constexpr const char* kMsgKeygenSignerNotToken = "keygen --signer takes pkcs11:<URI>";
inline constexpr const char* kMsgKeygenFailed = "could not generate the keys";
inline constexpr const char* kMsgAesKeysIncomplete =
    "give all three of --aes-v1, --aes-v2 and --aes-v3, or --aes-random";
inline constexpr const char* kMsgAesKeyNotHex = "%s takes 32 hexadecimal digits";
inline constexpr const char* kMsgAesKeysFailed = "could not generate the 128-bit keys";
inline constexpr const char* kMsgKeyLinesFailed = "could not write the key lines";
inline constexpr const char* kMsgWaitNotSeconds = "--wait takes a number of seconds (--wait=SECONDS), or nothing";
inline constexpr const char* kMsgOutputFolderMissing =
    "give the output folder with --output <folder>, or --default-output";
inline constexpr const char* kMsgOutputFolderAbsent = "the output folder %s does not exist";
inline constexpr const char* kMsgProgramFolderUnknown = "cannot tell the program folder; give it with --home <folder>";
inline constexpr const char* kMsgSignapkOutputIsInput = "signapk: the output %s is the %s %s; give another output";
inline constexpr const char* kMsgSignapkWholeFileOnly =
    "signapk: only whole-file signing is supported: signapk -w <cert> <key> <input> <output>";
inline constexpr const char* kMsgBoardUnknown = "unknown board type \"%s\"; give 0 to 5 or a name: %s";
inline constexpr const char* kMsgPinPrompt = "\r\033[KPIN for the token \"%s\": ";
inline constexpr const char* kMsgFilesOrReport = "give the files or --report, not both";
inline constexpr const char* kMsgKeysRequired = "--keys is required";
inline constexpr const char* kMsgFileRequired = "file is required";

}  // namespace tarnel::cli
