// Fails when a built updater's payload would be copied into memory at load:
// Wine maps a section from the file only when its raw data starts on a page
// boundary there, and the payload lives in the resource section. Also fails
// when the PE checksum no longer matches the bytes (the step that moves the
// section must set it anew), as the system's own imagehlp computes it.
//   usage: payload_layout_check EXE...   (Windows paths or host paths)
#include <windows.h>
// imagehlp.h needs windows.h first.
#include <imagehlp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

template <typename OptionalHeader>
DWORD ResourceRva(const unsigned char* optional) {
  return reinterpret_cast<const OptionalHeader*>(optional)
      ->DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE]
      .VirtualAddress;
}

std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine maps the host's root as Z:
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// The file offset of the section holding the resource directory, or a reason it was not found.
bool ResourceRawOffset(const std::string& exe, DWORD* offset, std::string* why) {
  HANDLE file = CreateFileA(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return *why = "cannot open it", false;
  std::vector<unsigned char> head(64 * 1024);
  DWORD read = 0;
  const BOOL ok = ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &read, nullptr);
  CloseHandle(file);
  if (!ok || read < sizeof(IMAGE_DOS_HEADER)) return *why = "cannot read its headers", false;
  head.resize(read);
  // ImageNtHeader checks the DOS and PE signatures and the header's place.
  const IMAGE_NT_HEADERS* nt = ImageNtHeader(head.data());
  if (!nt) return *why = "not a PE image", false;
  const auto* fileHeader = &nt->FileHeader;
  const auto* optional = reinterpret_cast<const unsigned char*>(&nt->OptionalHeader);
  const DWORD resourceRva = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                                ? ResourceRva<IMAGE_OPTIONAL_HEADER64>(optional)
                                : ResourceRva<IMAGE_OPTIONAL_HEADER32>(optional);
  const auto* sections =
      reinterpret_cast<const IMAGE_SECTION_HEADER*>(optional + fileHeader->SizeOfOptionalHeader);
  if (reinterpret_cast<const unsigned char*>(sections + fileHeader->NumberOfSections) >
      head.data() + head.size())
    return *why = "truncated section table", false;
  for (WORD i = 0; i < fileHeader->NumberOfSections; ++i) {
    const IMAGE_SECTION_HEADER& s = sections[i];
    if (resourceRva >= s.VirtualAddress && resourceRva - s.VirtualAddress < s.Misc.VirtualSize) {
      *offset = s.PointerToRawData;
      return true;
    }
  }
  return *why = "no section holds its resources", false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: payload_layout_check EXE...\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string exe = WindowsPath(argv[i]);
    DWORD offset = 0, inHeader = 0, computed = 0;
    std::string why;
    if (!ResourceRawOffset(exe, &offset, &why)) {
      std::printf("FAIL %s: %s\n", exe.c_str(), why.c_str());
      status = 1;
      continue;
    }
    const DWORD checked = MapFileAndCheckSumA(exe.c_str(), &inHeader, &computed);
    bool ok = true;
    if (offset % 0x1000 != 0) {
      std::printf("FAIL %s: resource section at file offset 0x%lX, not on a page boundary\n", exe.c_str(),
                  static_cast<unsigned long>(offset));
      ok = false;
    }
    if (checked != CHECKSUM_SUCCESS || inHeader != computed) {
      std::printf("FAIL %s: PE checksum 0x%08lX in the header, 0x%08lX computed\n", exe.c_str(),
                  static_cast<unsigned long>(inHeader), static_cast<unsigned long>(computed));
      ok = false;
    }
    if (ok) {
      std::printf("ok %s: resources at 0x%lX, checksum 0x%08lX\n", exe.c_str(),
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(computed));
    } else {
      status = 1;
    }
  }
  // Finished: ctest's emulator (cmake/wine-emulator.sh) looks for this file to
  // tell a program that ended on its own from one ended from outside.
  if (const char* running = std::getenv("TEST_PREMATURE_EXIT_FILE")) DeleteFileA(running);
  return status;
}
