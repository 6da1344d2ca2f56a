#include "platform/error.h"

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

thread_local uint32_t t_last_error = 0;

struct MessageEntry {
  uint32_t code;
  const char* text;
};

// Texts as the system message table words them; each ends in CR LF like
// the originals, because callers strip line breaks themselves.
constexpr MessageEntry kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {54, "The network is busy."},
    {58, "The specified server cannot perform the requested operation."},
    {59, "An unexpected network error occurred."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {86, "The specified network password is not correct."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {230, "The pipe state is invalid."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1020, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1057, "The account name is invalid or does not exist, or the password is invalid for the account name specified."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The database specified does not exist."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1077, "No attempts to start the service have been made since the last boot."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1083, "The executable program that this service is configured to run in does not implement the service."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1115, "A system shutdown is in progress."},
    {1155, "No application is associated with the specified file for this operation."},
    {1202, "The local device name has a remembered connection to another network resource."},
    {1203, "The network path was either typed incorrectly, does not exist, or the network provider is not currently available. Please try retyping the path or contact your network administrator."},
    {1204, "The specified network provider name is invalid."},
    {1208, "An extended error has occurred."},
    {1219, "Multiple connections to a server or shared resource by the same user, using more than one user name, are not allowed. Disconnect all previous connections to the server or shared resource and try again."},
    {1223, "The operation was canceled by the user."},
    {1225, "The remote computer refused the network connection."},
    {1236, "The network connection was aborted by the local system."},
    {1237, "The operation could not be completed. A retry should be performed."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1314, "A required privilege is not held by the client."},
    {1317, "The specified account does not exist."},
    {1326, "Logon failure: unknown user name or bad password."},
    {1327, "Logon failure: user account restriction."},
    {1337, "The security ID structure is invalid."},
    {1346, "Either a required impersonation level was not provided, or the provided impersonation level is invalid."},
    {1460, "This operation returned because the timeout period expired."},
    {1722, "The RPC server is unavailable."},
    {2250, "This network connection does not exist."},
};

}  // namespace

uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t code) { t_last_error = code; }

std::string ErrorMessage(uint32_t code) {
  for (const auto& m : kMessages) {
    if (m.code == code) return std::string(m.text) + "\r\n";
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "Unknown error %u.\r\n", code);
  return buf;
}

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorAlreadyExists;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EINVAL: return kErrorInvalidParameter;
    case EPIPE:
    case ECONNRESET: return kErrorBrokenPipe;
    case ECONNREFUSED: return kErrorConnectionRefused;
    case ETIMEDOUT: return kErrorSemTimeout;
    case EAGAIN: return kErrorNoData;
    case EXDEV: return kErrorNotSupported;
    case ENOTCONN: return kErrorPipeNotConnected;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    case EIO: return kErrorGenFailure;
    default: return kErrorGenFailure;
  }
}

bool FailErrno(int err) {
  SetLastError(ErrorFromErrno(err));
  return false;
}

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

}  // namespace platform
