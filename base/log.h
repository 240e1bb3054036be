// The run's log, for support: a short UTF-8 text, one line a step with its
// result, the files with their sizes, the Windows error code and message of
// any failure, and the outcome. It never holds the contents of a file.
//
// Every call does nothing while no log is open, and keeps the thread's
// last-error value as it was. A log that cannot be written is closed and
// forgotten: it never changes the outcome, and never shows a box.
#pragma once

#include <windows.h>

#include <cstdint>

// "<temp folder>\<base name>Update.log" (the base name in code page 932): the
// user's own temp folder, which the player can read without administrator
// rights. False when it does not fit.
bool DefaultLogPath(const char* baseName, wchar_t (&path)[MAX_PATH]);

// Starts the log at `path`, replacing the one an earlier run left there.
// False when it cannot be written; the run goes on without it.
bool OpenLog(const wchar_t* path);
void CloseLog();

// "step: result". The texts are ASCII; `result` may be a wsprintf format.
void LogStep(const char* step, const char* result, ...);
// "step: path: result", the path as the system names it (the ANSI code page).
void LogStepPath(const char* step, const char* path, const char* result);
// "step: text", a text in UTF-16 (a title, the command line), cut to its
// first 900 characters.
void LogStepText(const char* step, const wchar_t* text);
// "file path: size bytes, result".
void LogFile(const char* path, uint64_t size, const char* result);
// "step: path: error N: the system's message for it"; path may be null.
void LogFailure(const char* step, const char* path, DWORD error);
// A message box: its caption and text, and whether it was shown or, in a
// silent run, passed over.
void LogBox(const wchar_t* caption, const wchar_t* text, bool shown);
// "outcome: name; exit code N".
void LogOutcome(const char* outcome, int exitCode);
