// The updater's command line: the switches a launcher passes. Needs no
// operating system; the shell splits the line into words (CommandLineToArgvW).
#pragma once

struct CommandLine {
  bool silent = false;               // /S or /silent: no box, no dialog
  bool force = false;                // /force: a silent run redoes an update already applied
  const wchar_t* logPath = nullptr;  // /log=PATH; null: the default place
  const wchar_t* unknown = nullptr;  // the first word not understood; null when all were
};

// Reads the words after the program's name. Switches are matched without
// regard to letter case. False when a word is not understood (`unknown` says
// which): a word without "/", an unknown switch, or /log with no path. The
// other words are read all the same, so that a silent run stays silent.
bool ReadCommandLine(int count, const wchar_t* const* words, CommandLine* line);
