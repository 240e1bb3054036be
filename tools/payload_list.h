// The payload list of an update, from two release folders: every file of the
// new release that the previous one lacks or holds with other bytes. A maker
// keeps each release's installed files in a folder and lets this pick the
// files instead of choosing them by hand. Host-only: `payloadtool list`.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tools {

struct PayloadList {
  std::vector<std::string> changed;  // paths under the new folder, '/'-separated, sorted
  std::vector<std::string> removed;  // paths only the previous folder holds
};

// Compares the folders' files by content. Paths match regardless of letter
// case, as they do on Windows. False with a message when a folder cannot be
// read, when a changed file's name cannot go in a profile, or when two
// changed files share a last component (each is carried as a resource named
// by it).
bool ListPayload(const std::string& previous, const std::string& next, PayloadList* list, std::string* error);

// The profile line: set(UPDATER_PAYLOAD "a" "b/c"), quoted for CMake.
std::string PayloadLine(const std::vector<std::string>& paths);

// `payloadtool list PREVIOUS NEW`: prints the profile line on out, and on err
// the files the update leaves as they are because only PREVIOUS has them.
int ListPayloadFolders(const std::string& previous, const std::string& next, std::ostream& out,
                       std::ostream& err);

}  // namespace tools
