// Makes patches (apply/patch_apply.h has the format) and applies them on the
// host: the build's step for a profile with UPDATER_BASE, and payloadtool's
// diff and patch commands, which anyone can run on any pair of files.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tools {

using Bytes = std::vector<unsigned char>;

// The patch that makes `target` from `base`. Deterministic: the same files
// give the same bytes. For a Windows program or DLL (x86 or x64) it tries the
// executable transform too and keeps the smaller patch. False with a message
// when a file is too large for the updater's 32-bit sizes. The files are
// transformed in place while it works and are as given when it returns: a
// large pair needs no second copy.
bool MakePatch(Bytes& base, Bytes& target, Bytes* patch, std::string* error);

// Applies `patch` to `base` with the updater's own decoder. False with a
// message when the patch is damaged, is not made from this base, or makes
// anything but the file it names (size and checksum).
bool ApplyPatch(const Bytes& base, const Bytes& patch, Bytes* result, std::string* error);

// `payloadtool diff OLD NEW PATCH`: writes the patch, checked by applying it.
int DiffFiles(const std::string& base, const std::string& target, const std::string& patch,
              std::ostream& err);

// `payloadtool patch OLD PATCH OUT`: 0 only when OUT is the file the patch names.
int PatchFile(const std::string& base, const std::string& patch, const std::string& out, std::ostream& err);

// Whole-file helpers of the tools: false when the file cannot be read or written.
bool ReadWholeFile(const std::string& path, Bytes* bytes);
bool WriteWholeFile(const std::string& path, const Bytes& bytes);

}  // namespace tools
