// payloadtool: the Windows build's steps on the updater's payload, and the
// maker's patches.
//   payloadtool deflate IN OUT       the resource of a file, for a profile with UPDATER_COMPRESS
//   payloadtool check IN OUT         the size and checksum record carried beside a payload file
//   payloadtool align EXE            moves EXE's resource section to a page boundary (after linking)
//   payloadtool diff OLD NEW PATCH   the patch that makes NEW from OLD, as the updater carries it
//   payloadtool patch OLD PATCH OUT  applies it: exit 0 only when OUT is the file the patch names
//   payloadtool patchset SET PATCH...  the patches of one file, one per base, as the updater carries them
//   payloadtool list PREVIOUS NEW    the profile's payload list: files of NEW changed or new since PREVIOUS
#include <iostream>
#include <string>
#include <vector>

#include "tools/patch_make.h"
#include "tools/patch_set.h"
#include "tools/payload_deflate.h"
#include "tools/payload_list.h"
#include "tools/pe_align.h"

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "align" && argc == 3) return tools::AlignExeFile(argv[2], std::cout, std::cerr);
  if (command == "deflate" && argc == 4) return tools::DeflatePayloadFile(argv[2], argv[3], std::cerr);
  if (command == "check" && argc == 4) return tools::WriteCheckRecordFile(argv[2], argv[3], std::cerr);
  if (command == "diff" && argc == 5) return tools::DiffFiles(argv[2], argv[3], argv[4], std::cerr);
  if (command == "patch" && argc == 5) return tools::PatchFile(argv[2], argv[3], argv[4], std::cerr);
  if (command == "patchset" && argc >= 4) {
    return tools::WritePatchSetFile(argv[2], std::vector<std::string>(argv + 3, argv + argc), std::cerr);
  }
  if (command == "list" && argc == 4)
    return tools::ListPayloadFolders(argv[2], argv[3], std::cout, std::cerr);
  std::cerr << "usage: payloadtool align EXE\n"
               "       payloadtool deflate IN OUT\n"
               "       payloadtool check IN OUT\n"
               "       payloadtool diff OLD NEW PATCH\n"
               "       payloadtool patch OLD PATCH OUT\n"
               "       payloadtool patchset SET PATCH...\n"
               "       payloadtool list PREVIOUS NEW\n";
  return 2;
}
