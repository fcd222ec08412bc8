// What a run leaves behind when it is cut short. Everything a run writes
// before its final outputs lives in one private folder made for that run
// alone, and every temporary name carries the pid of the run that made it:
//
//   <parent>/<prefix>XXXXXX/       a run folder (TempFolder), mode 0700,
//                                  holding "lock" with the pid of its run
//   <file>.part-<pid>-XXXXXX       an output on its way (OutputFile)
//   <file>.tmp-<pid>-XXXXXX        a small file on its way (WriteFileAtomic)
//
// A run removes its folder and partial files on every exit path, SIGINT,
// SIGTERM and SIGHUP included (RemoveRunFilesOnTermination). A run killed
// outright leaves them; the next run of any of our programs sweeps them
// from the folders it writes (SweepStaleRunFiles), since their pid is no
// longer running.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/platform/status.h"

namespace platform {

inline constexpr const char* kRunLockName = "lock";

// "<path>.<kind>-<pid>-XXXXXX", a template for mkstemp.
std::string TemporaryNameTemplate(const std::string& path, const char* kind);

// mkstemp / mkdtemp of `pathTemplate` and its registration below as one
// step: a signal's cleanup either sees the new entry or runs before it is
// made, never between. -1 / false with errno when it cannot be made.
int MakeRegisteredPartialFile(std::string* pathTemplate);
bool MakeRegisteredRunFolder(std::string* pathTemplate);

// Partial files registered here are removed if the run is ended by a signal
// (OutputFile registers its own).
void RegisterPartialFile(const std::string& path);
void UnregisterPartialFile(const std::string& path);
// The same for run folders (TempFolder registers its own).
void RegisterRunFolder(const std::string& path);
void UnregisterRunFolder(const std::string& path);

// The programs a run starts and waits for (RunProgram): a signal's cleanup
// kills them and waits until they have ended before it removes anything, so
// none writes into a folder being removed. A program is forgotten once it
// has ended but before it is reaped, so its pid is never another process's.
// `spawn` starts the program and returns its pid (or -1); the start and the
// registration are one step, as for partial files.
int SpawnRegisteredChild(const std::function<int()>& spawn);
void UnregisterChildProcess(int pid);

// Removes a run folder with everything in it, its lock file last: a run
// cut short while removing leaves a folder the next sweep still knows by
// its lock. A missing folder is no failure.
Status RemoveRunFolder(const std::string& path);

// Installs, once per process and before any other thread starts, a watcher
// that on SIGINT, SIGTERM or SIGHUP removes every live run folder and
// registered partial file, then ends the process with the signal.
void RemoveRunFilesOnTermination();

// Removes from `folder` (not below it) our partial and temporary files and
// the run folders whose names start with one of `runPrefixes`, where the
// pid they carry is no longer running (or that hold no pid and nothing
// else: their run was killed while making or removing them). Only entries owned by this user are
// touched; a link is never followed. Best effort: what cannot be removed is
// left and named on the debug channel.
void SweepStaleRunFiles(const std::string& folder, const std::vector<std::string>& runPrefixes);

}  // namespace platform
