// Thread-local last error with the Windows code numbers.
//
// Every platform operation that fails sets the calling thread's last error to
// the code the Windows programs test for; operations that succeed leave it
// alone unless stated otherwise (as on Windows). Registry operations return
// their code instead, as the Windows registry functions do.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum ErrorCode : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorBadFormat = 11,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorOutOfMemory = 14,
  kErrorNotSameDevice = 17,
  kErrorNoMoreFiles = 18,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorBadNetPath = 53,
  kErrorNetworkBusy = 54,
  kErrorUnexpNetErr = 59,
  kErrorBadNetResp = 58,
  kErrorNetworkAccessDenied = 65,
  kErrorBadNetName = 67,
  kErrorFileExists = 80,
  kErrorInvalidPassword = 86,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorSemTimeout = 121,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorModNotFound = 126,
  kErrorProcNotFound = 127,
  kErrorNegativeSeek = 131,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorBadExeFormat = 193,
  kErrorFilenameExcedRange = 206,
  kErrorBadPipe = 230,
  kErrorPipeBusy = 231,
  kErrorNoData = 232,
  kErrorPipeNotConnected = 233,
  kErrorMoreData = 234,
  kErrorWaitTimeout = 258,
  kErrorNoMoreItems = 259,
  kErrorDirectory = 267,
  kErrorNotOwner = 288,
  kErrorPartialCopy = 299,
  kErrorOperationAborted = 995,
  kErrorIoPending = 997,
  kErrorNoToken = 1008,
  kErrorBadDbFormat = 1009,
  kErrorBadKey = 1010,
  kErrorCantOpenKey = 1011,
  kErrorCantRead = 1012,
  kErrorCantWrite = 1013,
  kErrorRegistryCorrupt = 1015,
  kErrorRegistryIoFailed = 1016,
  kErrorKeyDeleted = 1018,
  kErrorKeyHasChildren = 1020,
  kErrorServiceRequestTimeout = 1053,
  kErrorServiceNoThread = 1054,
  kErrorServiceDatabaseLocked = 1055,
  kErrorServiceAlreadyRunning = 1056,
  kErrorInvalidServiceAccount = 1057,
  kErrorServiceDisabled = 1058,
  kErrorServiceDoesNotExist = 1060,
  kErrorServiceCannotAcceptCtrl = 1061,
  kErrorServiceNotActive = 1062,
  kErrorFailedServiceControllerConnect = 1063,
  kErrorServiceSpecificError = 1066,
  kErrorProcessAborted = 1067,
  kErrorServiceMarkedForDelete = 1072,
  kErrorServiceExists = 1073,
  kErrorInvalidServiceControl = 1052,
  kErrorDuplicateServiceName = 1078,
  kErrorShutdownInProgress = 1115,
  kErrorNoUnicodeTranslation = 1113,
  kErrorNoAssociation = 1155,
  kErrorDeviceAlreadyRemembered = 1202,
  kErrorNoNetOrBadPath = 1203,
  kErrorBadProvider = 1204,
  kErrorExtendedError = 1208,
  kErrorSessionCredentialConflict = 1219,
  kErrorCancelled = 1223,
  kErrorConnectionRefused = 1225,
  kErrorConnectionAborted = 1236,
  kErrorRetry = 1237,
  kErrorNotAllAssigned = 1300,
  kErrorPrivilegeNotHeld = 1314,
  kErrorNoSuchUser = 1317,
  kErrorLogonFailure = 1326,
  kErrorAccountRestriction = 1327,
  kErrorInvalidSid = 1337,
  kErrorBadImpersonationLevel = 1346,
  kErrorTimeout = 1460,
  kErrorNotConnected = 2250,
};

// The calling thread's last error.
uint32_t GetLastError();
void SetLastError(uint32_t code);

// The system message text for `code`, as the message table gives it
// ("The system cannot find the file specified.\r\n"). Unknown codes give a
// generic text naming the number; the result is never empty.
std::string ErrorMessage(uint32_t code);

// Windows code for a POSIX errno value, as a file or socket call would fail.
uint32_t ErrorFromErrno(int err);

// Sets the last error from `err` (see ErrorFromErrno) and returns false, so
// that failure paths read `return FailErrno(errno);`.
bool FailErrno(int err);
// Sets the last error to `code` and returns false.
bool Fail(uint32_t code);

}  // namespace platform
