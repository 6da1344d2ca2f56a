// The removal of the agent from this PC, reported line by line on
// UninstallPipe to the console that started the uninstaller.
//
// Files removed from the system folder, in this order: VXAgent.exe,
// VXMonitor.exe, VXCESpylist.db, ProcessSpy.db, VXTrackingCookies.ini,
// ProcGuardLib.dll, Imprinter.dll, ExcludeDB.db. Then, under
// HKEY_LOCAL_MACHINE: the key Software\VXCorporate\Schedule_Info, the values
// ClientVersionNo and ClientDatabaseVersionNo of Software\VXCorporate, the
// value VXCEMonitor of SOFTWARE\Microsoft\Windows\CurrentVersion\Run.
// Logs, scan history, LogFolder, RestartDelete.db, quarantined items, the
// agent's key itself and the uninstaller's own file stay.
//
// Lines (260-byte reply records): "Uninstallation started", one
// "Error in deleting <name> file" per file that could not be deleted,
// "Finished Uninstallation".
#pragma once

#include <string>
#include <string_view>

#include "platform/pipe.h"

namespace vxremover {

inline constexpr const char* kRemoverPipe = "\\\\.\\pipe\\UninstallPipe";
inline constexpr const char* kAgentServiceName = "VXAgent";

// Creates UninstallPipe, waits for the console, removes the agent and
// reports, then closes the pipe. Write failures are not examined: the
// removal runs to its end even when the console has gone.
void Uninstall();

// The removal steps, reporting on `pipe`.
void UninstallClient(platform::PipeServer& pipe);

// Deletes `folder` + `name` (a read-only file too). A missing file counts
// as deleted. When VXAgent.exe or VXMonitor.exe (exact case) cannot be
// deleted, the running agent service is stopped and deleted, or every
// VXMonitor.exe process ended, and the deletion is tried up to five more
// times a second apart. A file that stays is reported on `pipe`.
void DeleteFileFromPC(platform::PipeServer& pipe, const std::string& folder, const std::string& name);

// Ends every process of this host whose image is named VXMonitor.exe
// (any case), with exit code 1.
void TerminateRunningproc();

// Stops the service `name` of this PC through the local service manager
// (waiting while it makes progress, up to 30 s without) and deletes it.
// False when the manager or the service cannot be opened or queried, or
// the stop control is refused.
bool StopRemoteService(std::string_view name);

}  // namespace vxremover
